// What every program of the suite (orvix::kTools) does alike, one row per program: it answers
// -h and --help and touches nothing; it takes hostile words (empty, 64 KiB long, every byte
// value, shell words that try to run commands, printf formats, numbers out of range) without
// crashing, hanging past its documented waits, running a command or writing outside its
// documented outputs (campaign::WriteWatch), and gives exactly the result its words call for.
// A program without a row fails, so a new one is tried too. The programs whose job is a result
// on standard output also fail loudly when it cannot be written.
#include <signal.h>

#include <algorithm>
#include <functional>
#include <map>

#include "bench.h"
#include "orvix_tools.h"

namespace {

using campaign::allHostileWords;
using campaign::expectSound;
using campaign::Hostile;
using campaign::hostileWords;
using campaign::WriteWatch;
namespace programmer = bench::programmer;
namespace fs = std::filesystem;

class Tool : public ::testing::TestWithParam<std::string> {
 public:
  void SetUp() override {
    board->setRtcHold(true);
    board->setRtcTime(2026, 12, 7, 9, 5, 41);
  }
  const std::string& tool() const { return GetParam(); }
  // `runOptions` run in a fresh working directory, with the checks that hold for every input.
  bench::RunResult run(bench::RunOptions runOptions) {
    WriteWatch watch(*board);
    runOptions.cwd = watch.cwd();
    auto r = bench::run(*board, std::move(runOptions));
    expectSound(r);
    watch.expectNothingWritten();
    return r;
  }
  std::vector<std::vector<std::string>> freshCommands() {
    auto all = board->commands();
    fs::remove(board->commandLog());
    return all;
  }
  std::vector<simboard::TraceEvent> gpio() const {
    std::vector<simboard::TraceEvent> events;
    for (const auto& e : board.get().trace())
      if (e.op.starts_with("gpio")) events.push_back(e);
    return events;
  }
  // An uploader's run of `argv` in `watch`'s directory, with the recording programmer planned to
  // end at once; the programmer's starts of this run.
  std::pair<bench::RunResult, std::vector<programmer::Run>> flash(std::vector<std::string> argv, const WriteWatch& watch,
                                                                  int timeoutMs = 10000) {
    programmer::plan(board->dir(), 0, 0);
    programmer::forget(board->dir());
    board->clearTrace();
    auto r = bench::run(*board, programmer::recorded({.argv = std::move(argv), .timeoutMs = timeoutMs, .cwd = watch.cwd()}));
    return {r, programmer::runs(board->dir())};
  }
  bench::ScratchBoard board;
};

std::vector<std::string> with(std::vector<std::string> argv, const std::vector<std::string>& more) {
  argv.insert(argv.end(), more.begin(), more.end());
  return argv;
}

// A word's start, enough to tell it in a message.
std::string shortened(const std::string& word) { return word.substr(0, 40); }

// --- help ---

// The same short text for "-h" and "--help", status 0 (1 for sketchcheck, whose help says it
// fails), at once, and nothing touched: no I2C transfer or GPIO call on the board, no byte on the
// serial line, no outside program started, with every outside program and the serial names there
// to be reached.
TEST_P(Tool, GivesItsHelpAndTouchesNothing) {
  bench::Sketch sketch{"LinkTest\n"};
  auto ask = [&](const std::string& word) {
    board->clearTrace();
    fs::remove(board->commandLog());
    bench::RunOptions options{.argv = {tool(), word},
                              .lines = {{"/dev/ttyS0", sketch.line.slavePath()},
                                        {"/dev/ttyAMA0", sketch.line.slavePath()},
                                        {"/dev/Arduino", sketch.line.slavePath()}},
                              .files = bench::setUpPi()};
    bench::bindStandIn(options, bench::kXterm);
    bench::bindStandIn(options, bench::kAvrdude);
    bench::bindStandIn(options, bench::kLoader);
    return bench::run(*board, options);
  };
  const auto help = ask("-h");
  EXPECT_FALSE(help.out.empty());
  EXPECT_EQ(help.out.back(), '\n');
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.status, tool() == "sketchcheck" ? 1 : 0);
  EXPECT_LT(help.seconds, 1.0);
  for (const auto& r : {help, ask("--help")}) {
    EXPECT_EQ(r.out, help.out);
    EXPECT_EQ(r.status, help.status);
    EXPECT_TRUE(board->trace().empty()) << simboard::describe(board->trace().front());
    EXPECT_TRUE(board->commands().empty()) << board->commands().front()[0];
  }
  EXPECT_EQ(sketch.peer.receivedBytes(), "");
  EXPECT_TRUE(programmer::runs(board->dir()).empty()) << "the programmer ran";
}

// --- hostile words: the clock tools ---

// clockshow looks at its first word only: none of these is -h, -t or -s, so nothing is
// printed and the status is 0; later words are ignored.
void clockshowTakesEachWordAsAnotherWord(Tool& t) {
  for (const Hostile& h : hostileWords()) {
    SCOPED_TRACE(h.name);
    auto r = t.run({.argv = {"clockshow", h.value}});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
  }
  auto r = t.run({.argv = with({"clockshow", "-t"}, allHostileWords())});
  EXPECT_EQ(r.out, "09:05\n");
  EXPECT_EQ(r.status, 0);
}

// A tool that takes no words does with all of them exactly what it does without; its run
// without, and the commands that started, for the row to say what that is, so that the
// comparison is not between two failures.
std::pair<bench::RunResult, std::vector<std::vector<std::string>>> ignoresEveryWord(Tool& t) {
  t.freshCommands();
  const auto plain = t.run({.argv = {t.tool()}});
  const auto plainCommands = t.freshCommands();
  const auto hostile = t.run({.argv = with({t.tool()}, allHostileWords())});
  EXPECT_EQ(hostile.out, plain.out);
  EXPECT_EQ(hostile.status, plain.status);
  EXPECT_EQ(t.freshCommands(), plainCommands) << "the words changed the commands run";
  return {plain, plainCommands};
}

// The tools that set the clock or its alarm, and alarmshow, refuse each word, before any
// transfer: none is a date, an alarm or an option of theirs.
void refusesEveryWordBeforeAnyTransfer(Tool& t) {
  for (const Hostile& h : hostileWords()) {
    SCOPED_TRACE(h.name);
    t.board->clearTrace();
    auto r = t.run({.argv = {t.tool(), h.value}});
    EXPECT_EQ(r.out.substr(0, 3), "NO ");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(t.board.get().trace("i2c").empty());
  }
}

// --- hostile words: the serial tools ---
// They run on a line with the Pi's start settings, which they make transparent.

// sketchcheck compares its word with the answer "LinkTest": only the empty word matches,
// and whatever the word, the tool sends the identity query alone.
void sketchcheckComparesEachWordAndSendsOnlyTheQuery(Tool& t) {
  for (const Hostile& h : hostileWords()) {
    SCOPED_TRACE(h.name);
    bench::Sketch sketch("LinkTest\n");
    auto r = t.run({.argv = {"sketchcheck", h.value}, .lines = {{"/dev/ttyS0", sketch.line.slavePath()}}});
    EXPECT_EQ(r.out, h.value.empty() ? "YES\n" : "NO\n");
    EXPECT_EQ(r.status, h.value.empty() ? 0 : 1);
    EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
  }
}

// sketchquery and sketchqueryblock send their word unchanged, whatever its bytes or length,
// and print the answer; the answer is sent once the whole request has arrived.
void sendsEachWordUnchanged(Tool& t) {
  for (const Hostile& h : hostileWords()) {
    SCOPED_TRACE(h.name);
    bench::Sketch sketch;
    WriteWatch watch(*t.board);
    bench::Process p(*t.board, {.argv = {t.tool(), h.value},
                                .lines = {{"/dev/ttyS0", sketch.line.slavePath()}},
                                .timeoutMs = 10000,
                                .cwd = watch.cwd()});
    EXPECT_TRUE(sketch.peer.waitReceived(h.value + "\n", 5000));
    sketch.peer.send("LinkTest\n");
    auto r = p.wait();
    expectSound(r);
    watch.expectNothingWritten();
    EXPECT_EQ(r.out, "LinkTest\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sketch.peer.receivedBytes(), h.value + "\n");
  }
}

// whichsketch gives its help for "-h" alone; every other word is ignored and the query runs.
void whichsketchIgnoresEveryWord(Tool& t) {
  bench::Sketch sketch("LinkTest\n");
  for (const Hostile& h : hostileWords()) {
    SCOPED_TRACE(h.name);
    auto r = t.run({.argv = {"whichsketch", h.value}, .lines = {{"/dev/ttyS0", sketch.line.slavePath()}}});
    EXPECT_EQ(r.out, "LinkTest\n\n");
    EXPECT_EQ(r.status, 0);
  }
}

// cmdlistener takes no words: with all of them it still only obeys the line, here an end line
// that waits on the line before it starts. A word is never run as a command.
void cmdlistenerRunsNoWordAsACommand(Tool& t) {
  bench::Sketch sketch;
  sketch.line.setPlain();
  sketch.peer.send("$$$Cend \n");
  auto r = t.run({.argv = with({"cmdlistener", "$$$Ardu touch /dev/vboard/pwned-listener"}, allHostileWords()),
                  .lines = {{"/dev/ttyS0", sketch.line.slavePath()}}});
  EXPECT_EQ(r.out, "Intercepting commands from serial port...\n  format: $$$Ardu command... 'lf'\n<End>\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(sketch.peer.receivedBytes(), "");
}

// pinwait sends its words as typed in a command of at most 49 characters; a longer one gets
// the parameter report and nothing but the identity query goes out. A comparator that is
// neither gt nor lt always gets the parameter report.
void pinwaitSendsWordsAsTypedOrReportsThem(Tool& t) {
  struct Form {
    std::vector<std::string> argv;
    std::string command;  // what goes to the sketch; empty: the parameter report
  };
  auto report = [](const std::vector<std::string>& argv) {
    std::string listed;
    for (std::size_t i = 1; i < argv.size(); ++i) listed += argv[i] + " ";
    return "NO Error on parameters!\n" + listed + "\n Use -h for help.\n";
  };
  auto fits = [](const std::string& command) { return command.size() <= 49 ? command : std::string(); };
  std::vector<Form> forms;
  for (const Hostile& h : hostileWords()) {
    const std::string& w = h.value;
    forms.push_back({{"pinwait", w}, ""});
    forms.push_back({{"pinwait", "-dig", w, "1"}, fits("INTD" + w + "=1\n")});
    forms.push_back({{"pinwait", "-DIG", "6", w}, fits("INTD6=" + w + "\n")});
    forms.push_back({{"pinwait", "-ana", w, "lt", "200"}, fits("INTA" + w + "<200\n")});
    forms.push_back({{"pinwait", "-ana", "2", w, "200"}, ""});
    forms.push_back({{"pinwait", "-ana", "2", "GT", w}, fits("INTA2>" + w + "\n")});
  }
  for (const Form& f : forms) {
    SCOPED_TRACE(f.argv.size() > 2 ? f.argv[1] + " " + shortened(f.argv[2]) : shortened(f.argv.back()));
    const bool plain = f.argv.size() == 2;  // a first word that is no option: nothing to do
    bench::Sketch sketch("WaitSketch\n");
    sketch.line.setPlain();
    WriteWatch watch(*t.board);
    bench::Process p(
        *t.board,
        {.argv = f.argv, .lines = {{"/dev/ttyAMA0", sketch.line.slavePath()}}, .timeoutMs = 10000, .cwd = watch.cwd()});
    if (!f.command.empty()) {
      EXPECT_TRUE(sketch.peer.waitReceived(f.command, 5000));
      sketch.peer.send("OK\n");
    }
    auto r = p.wait();
    expectSound(r);
    watch.expectNothingWritten();
    if (plain) {
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
    } else if (f.command.empty()) {
      EXPECT_EQ(r.out, report(f.argv));
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
    } else {
      EXPECT_EQ(r.out, f.argv[1] == "-ana" ? "OK value reached!\n" : "OK Pin changed!\n");
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(sketch.peer.receivedBytes(), "?\n" + f.command);
    }
  }
}

// --- hostile words: the uploaders ---

// A path that names no file is reported as given (`said` and the path), with `status`, before
// any GPIO traffic, and nothing runs.
void reportsPathsThatNameNoFile(Tool& t, const std::vector<std::string>& more, const std::string& said, int status) {
  for (const Hostile& h : hostileWords()) {
    SCOPED_TRACE(h.name);
    WriteWatch watch(*t.board);
    t.freshCommands();
    auto [r, runs] = t.flash(with({t.tool(), h.value}, more), watch);
    expectSound(r);
    EXPECT_EQ(r.out, said + h.value + "\n");
    EXPECT_EQ(r.status, status);
    EXPECT_TRUE(runs.empty());
    EXPECT_TRUE(t.gpio().empty());
    EXPECT_TRUE(t.board->commands().empty()) << "something ran for a missing file";
    watch.expectNothingWritten();
  }
}

// A path of about 4000 characters that still opens: the longest a tool can be handed.
const std::string kLongPath = [] {
  std::string p;
  while (p.size() < 4000) p += "./";
  return p + "long.hex";
}();

// Files whose names hold every byte, shell words and formats reach the programmer as one
// argument, unchanged; the shell that boardflash goes through runs none. Each "/" of a hostile
// word becomes "_", so that a command one of them ran would touch a file in the working
// directory.
void passesFileNamesUnchanged(Tool& t, const std::vector<std::string>& more, const std::string& said) {
  std::vector<Hostile> names;
  for (Hostile h : hostileWords()) {
    std::replace(h.value.begin(), h.value.end(), '/', '_');
    if (h.value.empty() || h.value.size() > 255 || h.value == "." || h.value.starts_with("-")) continue;
    names.push_back(h);
  }
  names.push_back({"4000 characters", kLongPath});
  for (const Hostile& h : names) {
    SCOPED_TRACE(h.name);
    WriteWatch watch(*t.board);
    if (h.value != kLongPath) watch.add(h.value);
    watch.add("long.hex");
    auto [r, runs] = t.flash(with({t.tool(), h.value}, more), watch);
    expectSound(r);
    EXPECT_EQ(r.out, said);
    EXPECT_EQ(r.status, 0);
    if (runs.size() == 1 && !runs[0].argv.empty()) {
      EXPECT_EQ(runs[0].argv.back(), "-Uflash:w:" + h.value + ":i");
      EXPECT_EQ(runs[0].argv.size(), 16u) << "the path was split";
    } else {
      ADD_FAILURE() << runs.size() << " programmer starts";
    }
    watch.expectNothingWritten();
  }
}

// The level of the reset line and when it rose last, from the trace.
std::pair<int, std::int64_t> resetLine(const std::vector<simboard::TraceEvent>& events) {
  std::pair<int, std::int64_t> line{-1, 0};
  for (const auto& e : events) {
    if (e.op != "gpio-write" || e.args[0] != 23) continue;
    line.first = e.args[1];
    if (e.args[1] == 1) line.second = e.us;
  }
  return line;
}

// mcuflash's second word is a wait in ms, read as atoi reads it; below 0 it is 0, and beyond
// what an int holds it is the longest wait an int holds, on every machine alike (through a
// 64-bit long, -2147483649 must not wrap round to 24 days, nor 4294967298 to 2 ms). Such a wait
// outlasts the run: the line stays high and the programmer has not started when the time
// limit ends it; asked to stop there (SIGTERM), mcuflash puts the line back.
void mcuflashTakesEveryWaitWordAsAtoiDoesWithinRange(Tool& t) {
  enum Wait { kNone, kOneMs, kLongest };
  std::map<std::string, Wait> numbers = {{"-1", kNone},
                                         {"-2147483649", kNone},
                                         {"2147483648", kLongest},
                                         {"4294967298", kLongest},
                                         {"99999999999999999999", kLongest},
                                         {"-99999999999999999999", kNone},
                                         {"1e9", kOneMs},
                                         {"0x7fffffff", kNone}};
  for (const Hostile& h : hostileWords()) {
    SCOPED_TRACE(h.name);
    const Wait wait = numbers.count(h.value) ? numbers[h.value] : kNone;  // words without digits: 0
    WriteWatch watch(*t.board);
    watch.add("file.hex");
    auto [r, runs] = t.flash({"mcuflash", "file.hex", h.value, h.value}, watch, wait == kLongest ? 1500 : 10000);
    watch.expectNothingWritten();
    const auto [level, riseUs] = resetLine(t.gpio());
    if (wait == kLongest) {
      EXPECT_TRUE(r.timedOut) << "the programmer started after " << h.value << " ms";
      EXPECT_TRUE(runs.empty());
      EXPECT_GT(riseUs, 0) << "the line is high while the wait runs";
      EXPECT_EQ(level, 0) << "the line is put back at the time limit";
      continue;
    }
    expectSound(r);
    EXPECT_EQ(r.status, 0);
    if (runs.size() != 1) {
      ADD_FAILURE() << runs.size() << " programmer starts";
      continue;
    }
    // The third word begins with no lower-case v: quiet.
    EXPECT_EQ(runs[0].argv[3], "-q");
    EXPECT_EQ(runs[0].argv[4], "-q");
    const double waitedMs = static_cast<double>(runs[0].startUs - riseUs) / 1000;
    EXPECT_GE(waitedMs, wait == kOneMs ? 1.0 : 0.0);
    EXPECT_LT(waitedMs, 300.0) << "200 ms allowed for the programmer's start";
    EXPECT_EQ(level, 0);
  }
}

// --- hostile words: the tools that take no words and run on ---

// mcureset does the same pulse whatever it is given.
void mcuresetIgnoresEveryWord(Tool& t) {
  t.board->clearTrace();
  auto r = t.run({.argv = with({"mcureset"}, allHostileWords())});
  EXPECT_EQ(r.out, "Orvix reset!\n");
  EXPECT_EQ(r.status, 0);
  std::vector<std::vector<int>> writes;
  for (const auto& e : t.gpio())
    if (e.op == "gpio-write") writes.push_back(e.args);
  EXPECT_EQ(writes, (std::vector<std::vector<int>>{{23, 0}, {23, 1}, {23, 0}}));
}

// buttonwatch polls for 100 s whatever it is given; a second of it is enough to see that the
// words change nothing: the button is set up the same way and each poll finds the press.
void buttonwatchIgnoresEveryWord(Tool& t) {
  t.board->setInput(24, 1);
  t.board->clearTrace();
  WriteWatch watch(*t.board);
  auto r = bench::run(*t.board,
                      {.argv = with({"buttonwatch"}, allHostileWords()), .timeoutMs = 1200, .cwd = watch.cwd()});
  EXPECT_TRUE(r.timedOut) << "buttonwatch ended early: " << r.out;
  EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
  watch.expectNothingWritten();
  const std::string press = "Tasto premuto\n";
  std::string lines;
  while (lines.size() < r.out.size()) lines += press;
  EXPECT_EQ(r.out, lines) << "only press lines";
  EXPECT_GE(r.out.size(), 5 * press.size()) << "about 10 polls a second";
  const auto events = t.gpio();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[1].op, "gpio-mode");
  EXPECT_EQ(events[1].args, (std::vector<int>{24, 0}));
  EXPECT_EQ(events[2].op, "gpio-pull");
  EXPECT_EQ(events[2].args, (std::vector<int>{24, 1}));
}

// termbridge starts the same window whatever it is given, and ends through its exit path on
// SIGTERM, taking the window with it.
void termbridgeIgnoresEveryWord(Tool& t) {
  WriteWatch watch(*t.board);
  bench::RunOptions s{
      .argv = with({"termbridge"}, allHostileWords()), .keepInputOpen = true, .timeoutMs = 10000, .cwd = watch.cwd()};
  bench::bindStandIn(s, bench::kXterm);
  bench::Process p(*t.board, s);
  p.write("through\n");
  EXPECT_TRUE(
      bench::waitFor([&] { return bench::window::shown(t.board->dir()).find("through") != std::string::npos; }, 5000));
  EXPECT_EQ(t.board->commands(), (std::vector<std::vector<std::string>>{{"xterm", "-Sxx3", "-T", "Console"}}));
  p.signal(SIGTERM);
  auto r = p.wait();
  expectSound(r);
  watch.expectNothingWritten();
  EXPECT_EQ(r.out, "");
}

// What hostile words do to each program.
const std::map<std::string, std::function<void(Tool&)>> kHostile = {
    {"alarmclear", [](Tool& t) { EXPECT_EQ(ignoresEveryWord(t).first.out, "Alarm reset!\n"); }},
    {"alarmset", refusesEveryWordBeforeAnyTransfer},
    {"alarmshow", refusesEveryWordBeforeAnyTransfer},
    {"boardflash",
     [](Tool& t) {
       reportsPathsThatNameNoFile(t, {}, "No file found: ", 1);
       passesFileNamesUnchanged(t, {}, "Uploaded!\n");
     }},
    {"buttonwatch", buttonwatchIgnoresEveryWord},
    {"clockprobe", [](Tool& t) { EXPECT_EQ(ignoresEveryWord(t).first.out, "RTC Date:  07/12/2026 09:05\n"); }},
    {"clockset", refusesEveryWordBeforeAnyTransfer},
    {"clockshow", clockshowTakesEachWordAsAnotherWord},
    {"clocksync",
     [](Tool& t) {
       const auto [plain, commands] = ignoresEveryWord(t);
       EXPECT_EQ(plain.status, 0);
       EXPECT_EQ(commands.at(0), (std::vector<std::string>{"sudo", "date", "-s", "12/07/2026 09:05:00"}));
     }},
    {"cmdlistener", cmdlistenerRunsNoWordAsACommand},
    {"mcuflash",
     [](Tool& t) {
       reportsPathsThatNameNoFile(t, {"0", "v"}, "NOK File not found: ", 255);
       passesFileNamesUnchanged(t, {"0"}, "");
       mcuflashTakesEveryWaitWordAsAtoiDoesWithinRange(t);
     }},
    {"mcureset", mcuresetIgnoresEveryWord},
    {"pinwait", pinwaitSendsWordsAsTypedOrReportsThem},
    {"rtcpeek", [](Tool& t) { ignoresEveryWord(t); }},
    {"sketchcheck", sketchcheckComparesEachWordAndSendsOnlyTheQuery},
    {"sketchquery", sendsEachWordUnchanged},
    {"sketchqueryblock", sendsEachWordUnchanged},
    {"termbridge", termbridgeIgnoresEveryWord},
    {"whichsketch", whichsketchIgnoresEveryWord},
};

TEST_P(Tool, TakesHostileWords) {
  const auto row = kHostile.find(tool());
  ASSERT_NE(row, kHostile.end()) << "no row says what hostile words do to " << tool();
  row->second(*this);
}

INSTANTIATE_TEST_SUITE_P(EveryProgram, Tool, ::testing::ValuesIn(orvix::kTools),
                         [](const auto& param) { return param.param; });

// --- a result that cannot be written ---
// The programs whose job is to print a result, with standard output on a full disk or on a pipe
// that nobody reads any more: each does its job, then ends with 255 and says why on standard
// error, since standard output is what failed. (The clock printers are tried in their own tests.)

template <typename Row>
std::vector<std::string> namesOf(const std::map<std::string, Row>& rows) {
  std::vector<std::string> names;
  for (const auto& [name, row] : rows) names.push_back(name);
  return names;
}

// The query tools: their words, and the request the sketch answers.
struct Query {
  std::string words;
  std::string request;
};
const std::map<std::string, Query> kQueries = {{"sketchcheck", {" LinkTest", "?"}},
                                               {"sketchquery", {" ping", "ping"}},
                                               {"sketchqueryblock", {" ping", "ping"}},
                                               {"whichsketch", {"", "?"}}};

class QueryTool : public Tool {
 protected:
  const Query& query() const { return kQueries.at(tool()); }
};

TEST_P(QueryTool, AsksThenFailsOnAFullDisk) {
  bench::Sketch sketch({{0, "LinkTest\n"}}, query().request);
  const auto r = bench::run(*board, {.argv = {"sh", "-c", tool() + query().words + " >/dev/full"},
                                     .lines = {{"/dev/ttyS0", sketch.line.slavePath()}}});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, tool() + ": cannot write standard output: No space left on device\n");
  EXPECT_NE(sketch.peer.receivedBytes().find(query().request + "\n"), std::string::npos) << "the job was done";
}

TEST_P(QueryTool, FailsWhenItsReaderHasGone) {
  bench::Sketch sketch({{0, "LinkTest\n"}}, query().request);
  // The reader ends before the tool starts; the status goes out on descriptor 3.
  const auto r = bench::run(
      *board, {.argv = {"sh", "-c", "exec 3>&1; { sleep 0.2; " + tool() + query().words + "; echo \"status $?\" >&3; } | true"},
               .lines = {{"/dev/ttyS0", sketch.line.slavePath()}}});
  EXPECT_EQ(r.out, "status 255\n");
  EXPECT_EQ(r.err.substr(r.err.find(':')), ": cannot write standard output: Broken pipe\n") << r.err;
}

INSTANTIATE_TEST_SUITE_P(Queries, QueryTool, ::testing::ValuesIn(namesOf(kQueries)),
                         [](const auto& param) { return param.param; });

// The programs that act: the action is done, and when its confirmation cannot be written they
// end with 255 and say on standard error that it was done, so that nobody repeats it blindly.
// Each tool's command lines, with what it says it did.
const std::map<std::string, std::vector<std::pair<std::string, std::string>>> kActions = {
    {"alarmclear", {{"alarmclear", "alarmclear: the alarm is cleared"}}},
    {"alarmset", {{"alarmset 30", "alarmset: the alarm is set"}, {"alarmset --off", "alarmset: the alarm is cleared"}}},
    {"clockset", {{"clockset --now", "clockset: the RTC is set"}}}};

class ActionTool : public Tool {};

TEST_P(ActionTool, SaysItActedWhenItsConfirmationIsLost) {
  for (const auto& [command, said] : kActions.at(tool())) {
    SCOPED_TRACE(command);
    board->setRtcTime(2021, 3, 4, 5, 6, 7);
    board->clearTrace();
    const auto r = bench::run(*board, {.argv = {"sh", "-c", command + " >/dev/full"}});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, said + ", but its confirmation could not be written: No space left on device\n");
    EXPECT_FALSE(board->trace("i2c-write").empty()) << "the job was done";
  }
}

INSTANTIATE_TEST_SUITE_P(Actions, ActionTool, ::testing::ValuesIn(namesOf(kActions)),
                         [](const auto& param) { return param.param; });

}  // namespace

namespace {

// --- the clock tools and the I2C bus ---
// Each fault of the bus a Pi may have: no /dev/i2c-1 (I2C not enabled), a user outside group
// i2c, a kernel driver holding address 0x68 (the RTC is then "not found"), no chip answering
// (every read fails), and an RTC there for one run and gone for the next. Each clock tool
// reports it, never as a made-up date nor as done, with status 255; the library says nothing on
// standard error, and nothing of a failure outlives the run. (Transfers that fail part-way are
// each tool's own tests' business.)

class ClockTools : public ::testing::Test {
 protected:
  void SetUp() override {
    board->setRtcHold(true);
    board->setRtcTime(2026, 12, 7, 9, 5, 41);
  }
  // `argv` run once; its trace and the commands it started are those of this run alone.
  bench::RunResult run(std::vector<std::string> argv) {
    board->clearTrace();
    fs::remove(board->commandLog());
    auto r = bench::run(*board, {.argv = std::move(argv), .timeoutMs = 10000});
    expectSound(r);
    return r;
  }
  int transfersTried() const {
    return campaign::transfers(board.get(), "i2c-read").tried + campaign::transfers(board.get(), "i2c-write").tried;
  }
  bench::ScratchBoard board;
};

// clockshow's help's first line; its whole text is clockshow's own tests' business.
const char* const kHelpStart = "Show RTC time\n";

// The RTC answers one run and is gone for the next: each tool says so at once, without a
// transfer, and all is well again once it is back.
TEST_F(ClockTools, AnRtcGoneBetweenTwoRunsIsReportedAndNothingLingers) {
  struct Expect {
    std::vector<std::string> argv;
    std::string present, absent;
  };
  const std::vector<Expect> tools = {
      {{"clockshow"}, "07/12/2026 09:05\n", "NO RTC found!\n"},
      {{"clockshow", "-s"}, "2026-12-07 09:05", "NO RTC found!\n"},
      {{"clockprobe"}, "RTC Date:  07/12/2026 09:05\n", "RTC Date:  NO RTC found!\n"},
      {{"alarmclear"}, "Alarm reset!\n", "Error I2C; no alarm resetting!\n"},
      {{"rtcpeek"}, "Hello world!\n", "Hello world!\n-1\n00/00/   0 00:00\n"},
      {{"clocksync"}, "RTC date : 07/12/2026 09:05:00\n", "NO RTC found!\n"},
  };
  for (bool present : {true, false, true}) {
    board->setRtcBus(present ? simboard::RtcBus::kOk : simboard::RtcBus::kNoBus);
    for (const auto& tool : tools) {
      SCOPED_TRACE(tool.argv[0] + (present ? " present" : " gone"));
      auto r = run(tool.argv);
      if (present) {
        EXPECT_TRUE(r.out.starts_with(tool.present)) << r.out;
        EXPECT_EQ(r.status, 0);
        continue;
      }
      EXPECT_EQ(r.out, tool.absent);
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(transfersTried(), 0) << "transfers with no RTC open";
      EXPECT_TRUE(board->commands().empty());
    }
  }
}

// Each fault of the bus, by every clock tool; and a user outside group gpio reads the clock as any other.
TEST_F(ClockTools, EachFaultOfTheBusIsReportedByEveryClockTool) {
  using simboard::RtcBus;
  for (RtcBus bus : {RtcBus::kNoBus, RtcBus::kDenied, RtcBus::kBusy, RtcBus::kNoChip}) {
    SCOPED_TRACE(simboard::busName(bus));
    board->setRtcBus(bus);
    const bool opens = bus == RtcBus::kNoChip;
    const std::string no = opens ? "NO RTC read failed!\n" : "NO RTC found!\n";
    struct Expect {
      std::vector<std::string> argv;
      std::string out;
      int status;
    };
    const std::vector<Expect> tools = {
        {{"clockshow"}, no, 255},
        {{"clockshow", "-t"}, no, 255},
        {{"clockshow", "-T"}, no, 255},
        {{"clockshow", "-s"}, no, 255},
        {{"clockshow", "-x"}, "", 0},
        {{"clocksync"}, no, 255},
        {{"clockprobe"}, "RTC Date:  " + no, 255},
        {{"alarmclear"}, "Error I2C; no alarm resetting!\n", 255},
    };
    for (const auto& tool : tools) {
      SCOPED_TRACE(tool.argv.back());
      auto r = run(tool.argv);
      EXPECT_EQ(r.out, tool.out);
      EXPECT_EQ(r.status, tool.status);
      EXPECT_EQ(r.err, "");
      EXPECT_TRUE(board->commands().empty()) << "a clock command ran";
      EXPECT_EQ(campaign::transfers(*board, "i2c-read").succeeded + campaign::transfers(*board, "i2c-write").succeeded, 0);
      if (!opens) {
        EXPECT_EQ(transfersTried(), 0) << "transfers with no RTC open";
      }
    }
    // The help needs no bus at all.
    auto r = run({"clockshow", "-h"});
    EXPECT_TRUE(r.out.starts_with(kHelpStart)) << r.out;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(transfersTried(), 0);
    r = run({"rtcpeek"});
    const auto t = campaign::transfers(*board, "i2c-read");
    EXPECT_EQ(r.out, "Hello world!\n" + std::to_string(t.handle) + "\n00/00/   0 00:00\n");
    EXPECT_EQ(t.handle >= 0, opens);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");
  }
  board->setRtcBus(simboard::RtcBus::kOk);
  board->setGpioDenied(true);
  auto r = run({"clockshow"});
  EXPECT_EQ(r.out, "07/12/2026 09:05\n");
  EXPECT_EQ(r.status, 0);
  r = run({"alarmclear"});
  EXPECT_EQ(r.out, "Alarm reset!\n");
  EXPECT_EQ(r.status, 0);
}

}  // namespace
