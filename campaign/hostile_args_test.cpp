// Every tool with hostile arguments: empty, 64 KiB long, every byte value, shell words that
// try to run commands, printf formats, numbers out of range. None may crash, hang past its
// documented waits, run a command it was not meant to, or write outside its documented
// outputs (see bench.h); each also gives exactly the result its words call for.
#include <signal.h>

#include <algorithm>

#include "bench.h"
#include "standins/xterm-recorder.h"

namespace {

using campaign::expectSound;
using campaign::Hostile;
using campaign::hostileWords;
using campaign::WriteWatch;
namespace programmer = bench::programmer;
namespace fs = std::filesystem;

class HostileArgs : public ::testing::Test {
 protected:
  void SetUp() override {
    board->setRtcHold(true);
    board->setRtcTime(2026, 12, 7, 9, 5, 41);
  }
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
  bench::ScratchBoard board;
};

std::vector<std::string> with(std::vector<std::string> argv, const std::vector<std::string>& more) {
  argv.insert(argv.end(), more.begin(), more.end());
  return argv;
}

// --- the clock tools ---

// clockshow looks at its first word only: none of these is -h, -t or -s, so nothing is
// printed and the status is 0; later words are ignored.
TEST_F(HostileArgs, ClockshowTakesEachWordAsAnotherWord) {
  for (const Hostile& h : hostileWords()) {
    SCOPED_TRACE(h.name);
    auto r = run({.argv = {"clockshow", h.value}});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
  }
  auto r = run({.argv = with({"clockshow", "-t"}, campaign::allHostileWords())});
  EXPECT_EQ(r.out, "09:05\n");
  EXPECT_EQ(r.status, 0);
}

// The other clock tools take no words: with all of them they do exactly what they do without.
TEST_F(HostileArgs, ClockToolsWithoutOptionsIgnoreEveryWord) {
  for (const char* tool : {"clocksync", "clockprobe", "rtcpeek", "alarmclear"}) {
    SCOPED_TRACE(tool);
    freshCommands();
    const auto plain = run({.argv = {tool}});
    const auto plainCommands = freshCommands();
    const auto hostile = run({.argv = with({tool}, campaign::allHostileWords())});
    EXPECT_EQ(hostile.out, plain.out);
    EXPECT_EQ(hostile.status, plain.status);
    EXPECT_EQ(freshCommands(), plainCommands) << "the words changed the commands run";
  }
  // What "without" means, so that the comparison above is not between two failures.
  freshCommands();
  EXPECT_EQ(run({.argv = {"clocksync"}}).status, 0);
  EXPECT_EQ(freshCommands().at(0), (std::vector<std::string>{"sudo", "date", "-s", "12/07/2026 09:05:00"}));
  EXPECT_EQ(run({.argv = {"clockprobe"}}).out, "RTC Date:  07/12/2026 09:05\n");
  EXPECT_EQ(run({.argv = {"alarmclear"}}).out, "Alarm reset!\n");
}

// The tools that set the clock or its alarm, and alarmshow, refuse each word, before any
// transfer: none is a date, an alarm or an option of theirs.
TEST_F(HostileArgs, ClockSettersRefuseEveryWordBeforeAnyTransfer) {
  for (const char* tool : {"clockset", "alarmset", "alarmshow"}) {
    for (const Hostile& h : hostileWords()) {
      SCOPED_TRACE(std::string(tool) + " " + h.name);
      board->clearTrace();
      auto r = run({.argv = {tool, h.value}});
      EXPECT_EQ(r.out.substr(0, 3), "NO ");
      EXPECT_EQ(r.status, 255);
      EXPECT_TRUE(board.get().trace("i2c").empty());
    }
  }
}

// --- the serial tools ---

// sketchcheck compares its word with the answer "LinkTest": only the empty word matches,
// and whatever the word, the tool sends the identity query alone.
// The serial tools run on a line with the Pi's start settings, which they make transparent.
TEST_F(HostileArgs, SketchcheckComparesEachWordAndSendsOnlyTheQuery) {
  for (const Hostile& h : hostileWords()) {
    SCOPED_TRACE(h.name);
    bench::Sketch sketch("LinkTest\n");
    auto r = run({.argv = {"sketchcheck", h.value}, .lines = {{"/dev/ttyS0", sketch.line.slavePath()}}});
    EXPECT_EQ(r.out, h.value.empty() ? "YES\n" : "NO\n");
    EXPECT_EQ(r.status, h.value.empty() ? 0 : 1);
    EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
  }
}

// sketchquery and sketchqueryblock send their word unchanged, whatever its bytes or length,
// and print the answer; the answer is sent once the whole request has arrived.
TEST_F(HostileArgs, QueryToolsSendEachWordUnchanged) {
  for (const char* tool : {"sketchquery", "sketchqueryblock"}) {
    for (const Hostile& h : hostileWords()) {
      SCOPED_TRACE(std::string(tool) + " " + h.name);
      bench::Sketch sketch;
      WriteWatch watch(*board);
      bench::Process p(*board, {.argv = {tool, h.value},
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
}

// whichsketch gives its help for "-h" alone; every other word is ignored and the query runs.
TEST_F(HostileArgs, WhichsketchIgnoresEveryWord) {
  bench::Sketch sketch("LinkTest\n");
  for (const Hostile& h : hostileWords()) {
    SCOPED_TRACE(h.name);
    auto r = run({.argv = {"whichsketch", h.value}, .lines = {{"/dev/ttyS0", sketch.line.slavePath()}}});
    EXPECT_EQ(r.out, "LinkTest\n\n");
    EXPECT_EQ(r.status, 0);
  }
}

// cmdlistener takes no words: with all of them it still only obeys the line, here an end line
// that waits on the line before it starts. A word is never run as a command.
TEST_F(HostileArgs, CmdlistenerRunsNoWordAsACommand) {
  bench::Sketch sketch;
  sketch.line.setPlain();
  sketch.peer.send("$$$Cend \n");
  auto r = run({.argv = with({"cmdlistener", "$$$Ardu touch /dev/vboard/pwned-listener"}, campaign::allHostileWords()),
                .lines = {{"/dev/ttyS0", sketch.line.slavePath()}}});
  EXPECT_EQ(r.out, "Intercepting commands from serial port...\n  format: $$$Ardu command... 'lf'\n<End>\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(sketch.peer.receivedBytes(), "");
}

// pinwait sends its words as typed in a command of at most 49 characters; a longer one gets
// the parameter report and nothing but the identity query goes out. A comparator that is
// neither gt nor lt always gets the parameter report.
TEST_F(HostileArgs, PinwaitSendsWordsAsTypedOrReportsThem) {
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
    SCOPED_TRACE(f.argv.size() > 2 ? f.argv[1] + " " + f.argv[2].substr(0, 40) : f.argv.back().substr(0, 40));
    const bool plain = f.argv.size() == 2;  // a first word that is no option: nothing to do
    bench::Sketch sketch("WaitSketch\n");
    sketch.line.setPlain();
    WriteWatch watch(*board);
    bench::Process p(
        *board,
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

// --- the flashing tools ---

// Names that files can have, made from the hostile words: each "/" becomes "_", so a
// command that one of them ran would touch a file in the working directory.
std::vector<Hostile> fileNames() {
  std::vector<Hostile> names;
  for (Hostile h : hostileWords()) {
    std::replace(h.value.begin(), h.value.end(), '/', '_');
    if (h.value.empty() || h.value.size() > 255 || h.value == "." || h.value.starts_with("-")) continue;
    names.push_back(h);
  }
  return names;
}

// A path of about 4000 characters that still opens: the longest a tool can be handed.
const std::string kLongPath = [] {
  std::string p;
  while (p.size() < 4000) p += "./";
  return p + "long.hex";
}();

class HostileFlash : public HostileArgs {
 protected:
  void SetUp() override {
    HostileArgs::SetUp();
    programmer::plan(board->dir(), 0, 0);
  }
  bench::RunOptions flashOptions(std::vector<std::string> argv, const WriteWatch& watch) {
    return programmer::recorded({.argv = std::move(argv), .cwd = watch.cwd()});
  }
  // Runs `argv` in `watch`'s directory; the programmer's starts of this run.
  std::pair<bench::RunResult, std::vector<programmer::Run>> flash(std::vector<std::string> argv, WriteWatch& watch,
                                                                  int timeoutMs = 10000) {
    programmer::forget(board->dir());
    board->clearTrace();
    auto s = flashOptions(std::move(argv), watch);
    s.timeoutMs = timeoutMs;
    auto r = bench::run(*board, s);
    return {r, programmer::runs(board->dir())};
  }
};

// A path that names no file is reported as given, before any GPIO traffic, and nothing runs.
TEST_F(HostileFlash, PathsThatNameNoFileAreReportedAsGiven) {
  for (const Hostile& h : hostileWords()) {
    SCOPED_TRACE(h.name);
    WriteWatch watch(*board);
    auto [m, mruns] = flash({"mcuflash", h.value, "0", "v"}, watch);
    expectSound(m);
    EXPECT_EQ(m.out, "NOK File not found: " + h.value + "\n");
    EXPECT_EQ(m.status, 255);
    EXPECT_TRUE(mruns.empty());
    EXPECT_TRUE(gpio().empty());
    auto [b, bruns] = flash({"boardflash", h.value}, watch);
    expectSound(b);
    EXPECT_EQ(b.out, "No file found: " + h.value + "\n");
    EXPECT_EQ(b.status, 1);
    EXPECT_TRUE(bruns.empty());
    EXPECT_TRUE(gpio().empty());
    EXPECT_TRUE(board->commands().empty()) << "boardflash ran something for a missing file";
    watch.expectNothingWritten();
  }
}

// Files whose names hold every byte, shell words and formats reach the programmer as one
// argument, unchanged, from both flashers; the shell that boardflash goes through runs none.
TEST_F(HostileFlash, FileNamesReachTheProgrammerUnchanged) {
  auto names = fileNames();
  names.push_back({"4000 characters", kLongPath});
  for (const Hostile& h : names) {
    SCOPED_TRACE(h.name);
    WriteWatch watch(*board);
    if (h.value != kLongPath) watch.add(h.value);
    watch.add("long.hex");
    auto [m, mruns] = flash({"mcuflash", h.value, "0"}, watch);
    expectSound(m);
    EXPECT_EQ(m.out, "");
    EXPECT_EQ(m.status, 0);
    if (mruns.size() == 1 && mruns[0].argv.size() == 16)
      EXPECT_EQ(mruns[0].argv[15], "-Uflash:w:" + h.value + ":i");
    else
      ADD_FAILURE() << mruns.size() << " programmer starts";
    auto [b, bruns] = flash({"boardflash", h.value}, watch);
    expectSound(b);
    EXPECT_EQ(b.out, "Uploaded!\n");
    EXPECT_EQ(b.status, 0);
    if (bruns.size() == 1 && !bruns[0].argv.empty()) {
      EXPECT_EQ(bruns[0].argv.back(), "-Uflash:w:" + h.value + ":i");
      EXPECT_EQ(bruns[0].argv.size(), 16u) << "the shell split the path";
    } else {
      ADD_FAILURE() << bruns.size() << " programmer starts";
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
TEST_F(HostileFlash, McuflashTakesEveryWaitWordAsAtoiDoesWithinRange) {
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
    WriteWatch watch(*board);
    watch.add("file.hex");
    auto [r, runs] = flash({"mcuflash", "file.hex", h.value, h.value}, watch, wait == kLongest ? 1500 : 10000);
    watch.expectNothingWritten();
    const auto [level, riseUs] = resetLine(gpio());
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

// --- the tools that take no words and run on ---

// mcureset does the same pulse whatever it is given.
TEST_F(HostileArgs, McuresetIgnoresEveryWord) {
  board->clearTrace();
  auto r = run({.argv = with({"mcureset"}, campaign::allHostileWords())});
  EXPECT_EQ(r.out, "Orvix reset!\n");
  EXPECT_EQ(r.status, 0);
  std::vector<std::vector<int>> writes;
  for (const auto& e : gpio())
    if (e.op == "gpio-write") writes.push_back(e.args);
  EXPECT_EQ(writes, (std::vector<std::vector<int>>{{23, 0}, {23, 1}, {23, 0}}));
}

// buttonwatch polls for 100 s whatever it is given; a second of it is enough to see that the
// words change nothing: the button is set up the same way and each poll finds the press.
TEST_F(HostileArgs, ButtonwatchIgnoresEveryWord) {
  board->setInput(24, 1);
  board->clearTrace();
  WriteWatch watch(*board);
  auto r = bench::run(
      *board, {.argv = with({"buttonwatch"}, campaign::allHostileWords()), .timeoutMs = 1200, .cwd = watch.cwd()});
  EXPECT_TRUE(r.timedOut) << "buttonwatch ended early: " << r.out;
  EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
  watch.expectNothingWritten();
  const std::string press = "Tasto premuto\n";
  std::string lines;
  while (lines.size() < r.out.size()) lines += press;
  EXPECT_EQ(r.out, lines) << "only press lines";
  EXPECT_GE(r.out.size(), 5 * press.size()) << "about 10 polls a second";
  const auto events = gpio();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[1].op, "gpio-mode");
  EXPECT_EQ(events[1].args, (std::vector<int>{24, 0}));
  EXPECT_EQ(events[2].op, "gpio-pull");
  EXPECT_EQ(events[2].args, (std::vector<int>{24, 1}));
}

// termbridge starts the same window whatever it is given, and ends through its exit path on
// SIGTERM, taking the window with it.
TEST_F(HostileArgs, TermbridgeIgnoresEveryWord) {
  WriteWatch watch(*board);
  bench::RunOptions s{.argv = with({"termbridge"}, campaign::allHostileWords()),
                      .keepInputOpen = true,
                      .timeoutMs = 10000,
                      .cwd = watch.cwd()};
  bench::bindStandIn(s, bench::kXterm);
  bench::Process p(*board, s);
  p.write("through\n");
  EXPECT_TRUE(bench::waitFor([&] { return bench::window::shown(board->dir()).find("through") != std::string::npos; }, 5000));
  EXPECT_EQ(board->commands(), (std::vector<std::vector<std::string>>{{"xterm", "-Sxx3", "-T", "Console"}}));
  p.signal(SIGTERM);
  auto r = p.wait();
  expectSound(r);
  watch.expectNothingWritten();
  EXPECT_EQ(r.out, "");
}

}  // namespace
