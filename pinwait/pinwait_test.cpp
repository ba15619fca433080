// pinwait as a process on the bench, against a scripted pin-wait sketch on /dev/ttyAMA0.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "bench.h"
#include "standins/mcuload-recorder.h"

namespace {

using bench::kNoErrors;
using bench::kRaw;
using bench::LineStart;
using bench::ProtocolSketch;
using bench::times;
using namespace std::string_literals;

const std::string kHelp =
    "Arduino interrupt\n"
    "N.B. It uses the sketch /home/pi/bin/mcusketches/WaitSketch.hex \n"
    "ATTENTION!Pin 4 can be used for power switching. Open jumper JP2 to use it!\n"
    "format : pinwait [-h|-dig n v|-ana n x v] \n"
    "  -dig n v    : stop until pin n(3-13) becomes v(0/1)\n"
    "  -ana n x v  : stop until analogical pin(n=0-5) becomes x(gt or lt) of v(0-1024)\n"
    "(gt:>,lt:<)\n"
    "Ex.: pinwait -dig 6 1\n"
    "     pinwait -ana 2 lt 200\n";
const std::string kAnnouncement = std::string("\nNo sketch ") + bench::kWaitSketch + ". Uploading...\n";
const std::string kLoaderSays = std::string(bench::loader::kProgram) + " " + bench::kWaitSketch + "\n";  // the stand-in's line

std::string paramReport(const std::string& words) {
  return "NO Error on parameters!\n" + words + " \n Use -h for help.\n";
}

// The report of a wait answer that is no success; `received` with its line end, if it had one.
std::string transmissionReport(const std::string& sent, const std::string& received) {
  return "NO Error on transmission!\nSent    : " + sent + "\nReceived: " + received + "\n";
}

// A run that waited for the sketch's answer 300 ms after the request, told from one that took a
// left-over line end for it (a few ms). Not 0.3 s: a run's start is stamped once the tool runs,
// which a loaded machine does a little late.
constexpr double kWaitedFor300MsS = 0.25;

void setFlags(bench::Line& line, bool canonical, bool crToNl) {
  line.setCanonical(canonical);
  line.setCrToNl(crToNl);
}

// pinwait with `args` on `on` as /dev/ttyAMA0, the loader's stand-in bound.
bench::RunOptions onLine(const bench::Line& on, std::vector<std::string> args, std::vector<std::string> env = {}) {
  args.insert(args.begin(), "pinwait");
  bench::RunOptions runOptions{.argv = std::move(args), .env = std::move(env)};
  runOptions.lines["/dev/ttyAMA0"] = on.slavePath();
  bench::bindStandIn(runOptions, bench::kLoader);
  return runOptions;
}

class Pinwait : public ::testing::Test {
 protected:
  bench::RunResult pinwait(std::vector<std::string> args, std::vector<std::string> env = {}) {
    return bench::run(*board, onLine(line, std::move(args), std::move(env)));
  }
  // The pin-wait sketch: its name at once, `answer` to `command` after `delayMs`.
  void waitSketch(const std::string& command, int delayMs = 0, const std::string& answer = "OK\r\n",
                  const std::string& name = "WaitSketch\r\n") {
    peer.onLine("?", name).onLine(command, answer, delayMs);
    peer.start();
  }
  // When the peer read the bytes that complete `needle`, or -1.
  std::int64_t heardAt(const std::string& needle) const {
    std::string all;
    for (const auto& got : peer.received()) {
      all += got.bytes;
      if (all.find(needle) != std::string::npos) return got.us;
    }
    return -1;
  }
  std::vector<bench::loader::Call> loaderCalls() const { return bench::loader::calls(board.get().dir()); }
  // The sketch's path: the announcement, the loader after the port's close, status 254.
  void expectUpload(const bench::RunResult& r, std::int64_t queryUs, double giveUpS) {
    EXPECT_EQ(r.out, kAnnouncement + kLoaderSays);
    EXPECT_EQ(r.status, 254);
    const auto calls = loaderCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].argv, (std::vector<std::string>{bench::kLoader, bench::kWaitSketch}));
    EXPECT_EQ(calls[0].terminals, 0) << "the loader inherited the serial port";
    ASSERT_GT(queryUs, 0);
    ASSERT_FALSE(r.outChunks.empty());
    // The announcement when the check gives up; the loader after the 1 s pause of the close.
    // Lower bounds from the tool's start, which comes before its query; upper bounds from the
    // peer's receipt of the query, which comes after it: +300 ms for a loaded machine and the
    // sanitizers, +500 ms for the loader, which is started through the shell.
    const auto since = [](std::int64_t from, std::int64_t to) { return static_cast<double>(to - from) / 1e6; };
    const std::int64_t announcedUs = r.outChunks[0].first;
    EXPECT_GE(since(r.startUs, announcedUs), giveUpS);
    EXPECT_LT(since(queryUs, announcedUs), giveUpS + 0.3);
    EXPECT_GE(since(r.startUs, calls[0].us), giveUpS + 1.0);
    EXPECT_LT(since(queryUs, calls[0].us), giveUpS + 1.0 + 0.5);
    EXPECT_GT(since(announcedUs, calls[0].us), 0.5);  // shown before the pause
  }

  bench::ScratchBoard board;
  bench::Line line;
  bench::SketchPeer peer{line};
};

// A pin-wait sketch written to the protocol, on a line that starts with the Pi's settings or raw.
class PinwaitProtocol : public Pinwait, public ::testing::WithParamInterface<LineStart> {};

}  // namespace

TEST(PinwaitAlone, HelpWithoutThePort) {
  bench::ScratchBoard board;  // no serial line at all: opening the port would fail
  for (std::vector<std::string> args :
       {std::vector<std::string>{"pinwait"}, {"pinwait", "-h"}, {"pinwait", "-H"}, {"pinwait", "-h", "-dig", "6"}}) {
    auto r = bench::run(*board, {.argv = args});
    EXPECT_EQ(r.out, kHelp) << args.size();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
  }
}

TEST(PinwaitAlone, NoPortNoCheck) {
  bench::ScratchBoard board;
  for (const char* word : {"-dig", "-x"}) {
    auto r = bench::run(*board, {.argv = {"pinwait", word, "6", "1"}});
    EXPECT_EQ(r.out, "Impossible to open serial port!") << word;
    EXPECT_EQ(r.status, 255);
  }
  EXPECT_TRUE(board->commands().empty());
}

TEST_P(PinwaitProtocol, ThreeWaitsInARowEachWaitForTheirAnswer) {
  ProtocolSketch sketch(GetParam(), {{"?", "WaitSketch\n"}});
  sketch.peer.onLine("INTD6=1", {{300, "OK\n"}});
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    auto r = bench::run(*board, onLine(sketch.line, {"-dig", "6", "1"}));
    EXPECT_EQ(r.out, "OK Pin changed!\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_GE(r.seconds, kWaitedFor300MsS) << "a left-over line end was taken as the answer";
    EXPECT_EQ(sketch.peer.receivedBytes(), times(run, "?\nINTD6=1\n"));
    EXPECT_EQ(sketch.pending(), 0);
  }
  EXPECT_TRUE(loaderCalls().empty());
  EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
}

TEST_P(PinwaitProtocol, AfterAQueryToolOnTheSameLineTheWaitStillWaits) {
  // One line under both names: sketchquery leaves it non-canonical, as the Pi's ttyS0 and
  // ttyAMA0 can be one port.
  ProtocolSketch sketch(GetParam(), {{"?", "WaitSketch\n"}});
  sketch.peer.onLine("INTA2<200", {{300, "OK\n"}});
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    bench::RunOptions query{.argv = {"sketchquery", "?"}};
    query.lines["/dev/ttyS0"] = sketch.line.slavePath();
    EXPECT_EQ(bench::run(*board, query).out, "WaitSketch\r\n");
    auto r = bench::run(*board, onLine(sketch.line, {"-ana", "2", "lt", "200"}));
    EXPECT_EQ(r.out, "OK value reached!\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_GE(r.seconds, kWaitedFor300MsS);
  }
  EXPECT_EQ(sketch.peer.receivedBytes(), times(3, "?\n?\nINTA2<200\n"));
  EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
}

INSTANTIATE_TEST_SUITE_P(Lines, PinwaitProtocol, ::testing::Values(LineStart::piDefaults, LineStart::raw),
                         [](const auto& p) { return bench::nameOf(p.param); });

TEST_F(Pinwait, DigitalWaitEndsWhenTheSketchAnswers) {
  // The Pi's default line: canonical, echo, CR read as LF, LF sent as CR LF.
  waitSketch("INTD6=1", 400);
  auto r = pinwait({"-dig", "6", "1"});
  EXPECT_EQ(r.out, "OK Pin changed!\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(peer.receivedBytes().substr(0, 2), "?\n");
  const std::int64_t sent = heardAt("INTD6=1\n");
  ASSERT_GT(sent, 0);
  const double waitedS = static_cast<double>(r.endUs - sent) / 1e6;
  EXPECT_GE(waitedS, 0.4);
  EXPECT_LT(waitedS, 0.7);  // the peer's 400 ms, +300 ms
  EXPECT_TRUE(loaderCalls().empty());
  EXPECT_TRUE(line.settings().c_lflag & ICANON);
  EXPECT_FALSE(line.settings().c_lflag & ECHO);
}

TEST_F(Pinwait, DigitalAndAnalogWaitsOnANonCanonicalLine) {
  setFlags(line, false, false);
  peer.onLine("?", "WaitSketch\r\n").onLine("INTD13=0", "OK\r\n", 300).onLine("INTA2<200", "OK 199\r\n", 300);
  peer.start();
  auto r = pinwait({"-dig", "13", "0"});
  EXPECT_EQ(r.out, "OK Pin changed!\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_GE(r.seconds, kWaitedFor300MsS);
  r = pinwait({"-ana", "2", "LT", "200"});
  EXPECT_EQ(r.out, "OK value reached!\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(peer.receivedBytes().find("INTA2<200\n"), std::string::npos);
  // The line mode as found, the echo off; the blocking mode stays on the device.
  EXPECT_FALSE(line.settings().c_lflag & ICANON);
  EXPECT_FALSE(line.settings().c_lflag & ECHO);
  EXPECT_EQ(line.settings().c_cc[VMIN], 1);
  EXPECT_EQ(line.settings().c_cc[VTIME], 0);
}

TEST_F(Pinwait, SendsTheCommandsByteForByte) {
  line.setPlain();
  for (const char* command : {"INTD6=1", "INTDabc=xyz", "INTA2<200", "INTA0>1024", "INTA5>7", "INTD-1=high"})
    peer.onLine(command, "OK\n");
  peer.onLine("?", "WaitSketch\n");
  peer.start();
  struct Case {
    std::vector<std::string> args;
    std::string sent, out;
  };
  for (const Case& c : std::vector<Case>{
           {{"-dig", "6", "1"}, "INTD6=1\n", "OK Pin changed!\n"},
           {{"-DIG", "abc", "xyz"}, "INTDabc=xyz\n", "OK Pin changed!\n"},
           {{"-Dig", "-1", "high", "more", "words"}, "INTD-1=high\n", "OK Pin changed!\n"},
           {{"-ana", "2", "LT", "200"}, "INTA2<200\n", "OK value reached!\n"},
           {{"-ANA", "0", "gt", "1024"}, "INTA0>1024\n", "OK value reached!\n"},
           {{"-aNa", "5", "Gt", "7", "extra"}, "INTA5>7\n", "OK value reached!\n"},
       }) {
    const std::size_t before = peer.receivedBytes().size();
    auto r = pinwait(c.args);
    EXPECT_EQ(r.out, c.out) << c.sent;
    EXPECT_EQ(r.status, 0) << c.sent;
    EXPECT_EQ(peer.receivedBytes().substr(before), "?\n" + c.sent);
  }
}

TEST_F(Pinwait, ParameterReportAfterTheIdentityCheck) {
  line.setPlain();
  waitSketch("never");
  for (const auto& [args, words] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-dig", "6"}, "-dig 6"},
           {{"-DIG"}, "-DIG"},
           {{"-ana", "2", "lt"}, "-ana 2 lt"},
           {{"-ana", "2", "eq", "200"}, "-ana 2 eq 200"},
           {{"-ana", "2", ">", "200", "x"}, "-ana 2 > 200 x"},
       }) {
    const std::size_t before = peer.receivedBytes().size();
    auto r = pinwait(args);
    EXPECT_EQ(r.out, paramReport(words));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(peer.receivedBytes().substr(before), "?\n") << words;  // checked, then nothing sent
  }
  // A first word that is no option: the check, then nothing.
  const std::size_t before = peer.receivedBytes().size();
  auto r = pinwait({"-x", "6", "1"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(peer.receivedBytes().substr(before), "?\n");
  EXPECT_TRUE(loaderCalls().empty());
}

TEST_F(Pinwait, ACommandThatWouldBeCutIsNotSent) {
  line.setPlain();
  // 49 characters with the line end: the longest command the tool sends.
  const std::string pin(20, '1'), level(23, '0'), value(42, '9');
  const std::string dig = "INTD" + pin + "=" + level, ana = "INTA2<" + value;
  ASSERT_EQ(dig.size() + 1, 49u);
  ASSERT_EQ(ana.size() + 1, 49u);
  peer.onLine("?", "WaitSketch\n").onLine(dig, "OK\n").onLine(ana, "OK\n");
  peer.start();

  std::size_t before = peer.receivedBytes().size();
  auto r = pinwait({"-dig", pin, level});
  EXPECT_EQ(r.out, "OK Pin changed!\n");
  EXPECT_EQ(peer.receivedBytes().substr(before), "?\n" + dig + "\n");
  before = peer.receivedBytes().size();
  r = pinwait({"-ana", "2", "lt", value});
  EXPECT_EQ(r.out, "OK value reached!\n");
  EXPECT_EQ(peer.receivedBytes().substr(before), "?\n" + ana + "\n");

  const std::vector<std::vector<std::string>> tooLong = {
      {"-dig", pin, level + "0"}, {"-ana", "2", "lt", value + "9"}, {"-dig", std::string(300, '7'), "1"}};
  for (const auto& args : tooLong) {
    before = peer.receivedBytes().size();
    r = pinwait(args);
    EXPECT_EQ(r.out, paramReport(args[0] + " " + args[1] + " " + args[2] + (args.size() > 3 ? " " + args[3] : "")));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(peer.receivedBytes().substr(before), "?\n");
  }
}

// A wait answer that begins with upper-case "OK" is success; any other is reported as it came,
// its CR LF end as one line end: a lone line end, and an end-of-file byte, which is data and no
// end of a canonical line, among them.
TEST_F(Pinwait, TheWaitAnswerMustBeginWithUpperCaseOK) {
  struct Case {
    std::vector<std::string> args;
    std::string command, answer, out;
  };
  const std::vector<Case> cases = {
      {{"-dig", "6", "1"}, "INTD6=1", "ok\r\n", transmissionReport("INTD6=1", "ok\n")},
      {{"-dig", "7", "1"}, "INTD7=1", "OK, pin 7 is high\r\n", "OK Pin changed!\n"},
      {{"-ana", "3", "gt", "5"}, "INTA3>5", "NO\r\n", transmissionReport("INTA3>5", "NO\n")},
      {{"-dig", "8", "0"}, "INTD8=0", "O\r\n", transmissionReport("INTD8=0", "O\n")},
      {{"-dig", "9", "1"}, "INTD9=1", "\r\n", transmissionReport("INTD9=1", "\n")},
      {{"-dig", "10", "1"}, "INTD10=1", "\x04\r\n", transmissionReport("INTD10=1", "\x04\n")},
  };
  peer.onLine("?", "WaitSketch\r\n");
  for (const Case& c : cases) peer.onLine(c.command, c.answer, 100);
  peer.start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    auto r = pinwait(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.out == "OK Pin changed!\n" ? 0 : 255);
  }
  // The same whatever the line did with a CR before.
  setFlags(line, true, false);
  EXPECT_EQ(pinwait({"-dig", "6", "1"}).out, transmissionReport("INTD6=1", "ok\n"));
}

// Over its first ten characters; a NUL ends it.
TEST_F(Pinwait, TheNameIsCheckedOverTenCharactersWithCase) {
  for (const auto& [answer, ok] : std::vector<std::pair<std::string, bool>>{
           {"WaitSketch\n", true},
           {"WaitSketch v2.1 (pins 3-13)\n", true},
           {"WaitSketchX\n", true},
           {"waitsketch\n", false},
           {"WAITSKETCH\n", false},
           {"WaitSketc\n", false},
           {"Wait Sketch\n", false},
           {"EchoSketch\n", false},
           {"Wait\0Sketch\n"s, false},
           {"WaitSketch\0\xff\xfe\n"s, true},
       }) {
    bench::Line own;  // a sketch of its own for each answer
    own.setPlain();
    bench::SketchPeer sketch(own);
    sketch.onLine("?", answer).onLine("INTD6=1", "OK\n");
    sketch.start();
    auto r = bench::run(*board, onLine(own, {"-dig", "6", "1"}));
    EXPECT_EQ(r.out, ok ? "OK Pin changed!\n" : kAnnouncement + kLoaderSays) << answer;
    EXPECT_EQ(r.status, ok ? 0 : 254) << answer;
  }
  EXPECT_EQ(loaderCalls().size(), 6u);
}

TEST_F(Pinwait, AnotherSketchGetsTheLoaderAfterThePortIsClosed) {
  peer.onLine("?", "EchoSketch\r\n");
  peer.start();
  auto r = pinwait({"-dig", "6", "1"});
  expectUpload(r, heardAt("?\n"), 0);
  EXPECT_EQ(peer.receivedBytes().find("INTD"), std::string::npos);
}

// A flood of other bytes from the start is a wrong name: the missing-sketch path.
TEST_F(Pinwait, TakesAFloodForAnotherSketch) {
  bench::Sketch sketch(kRaw);
  bench::Process p(*board, onLine(sketch.line, {"-dig", "6", "1"}));
  sketch.peer.flood("NONONONONO", 1500);
  auto r = p.wait();
  EXPECT_EQ(r.out, kAnnouncement + kLoaderSays);
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.err, "");
}

TEST_F(Pinwait, TheLoadersStatusAndTheWordsDoNotMatter) {
  peer.onLine("?", "EchoSketch\r\n");
  peer.start();
  for (const auto& args : std::vector<std::vector<std::string>>{{"-dig", "6"}, {"-x"}, {"-ana", "1", "eq", "2"}}) {
    auto r = pinwait(args, {std::string(bench::loader::kStatus) + "=3"});
    EXPECT_EQ(r.out, kAnnouncement + kLoaderSays);
    EXPECT_EQ(r.status, 254);
  }
  EXPECT_EQ(loaderCalls().size(), 3u);
}

TEST_F(Pinwait, TheLoaderFindsThePortFreeAndItsStatusIsSeenWithSigchldIgnored) {
  peer.onLine("?", "EchoSketch\r\n");
  peer.start();
  bench::TempDir dir;
  const auto loader = dir.path() / "mcuload";
  {
    std::ofstream script(loader);
    script << "#!/bin/sh\nflock -n /dev/ttyAMA0 echo \"port free for $1\" || echo \"port still held\"\n";
  }
  std::filesystem::permissions(loader, std::filesystem::perms::owner_all);
  // Started with SIGCHLD ignored, system() would not see the loader end and report it as never started.
  bench::RunOptions runOptions{.argv = {"env", "--ignore-signal=CHLD", "pinwait", "-dig", "6", "1"}};
  runOptions.lines["/dev/ttyAMA0"] = line.slavePath();
  runOptions.files[bench::kLoader] = loader;
  auto r = bench::run(*board, runOptions);
  EXPECT_EQ(r.out, kAnnouncement + "port free for " + bench::kWaitSketch + "\n");
  EXPECT_EQ(r.status, 254);
}

TEST_F(Pinwait, AMissingLoaderStillEndsWith254) {
  peer.onLine("?", "EchoSketch\r\n");
  peer.start();
  bench::RunOptions runOptions{.argv = {"pinwait", "-dig", "6", "1"}};
  runOptions.lines["/dev/ttyAMA0"] = line.slavePath();
  auto r = bench::run(*board, runOptions);
  EXPECT_EQ(r.out, kAnnouncement);
  EXPECT_EQ(r.status, 254);
  EXPECT_NE(r.err.find(bench::kLoader), std::string::npos) << r.err;
}

TEST_F(Pinwait, NoAnswerGivesUpAfterHalfASecondInEitherMode) {
  peer.start();  // a sketch without an identity answer
  for (bool canonical : {true, false}) {
    setFlags(line, canonical, true);
    bench::loader::forget(board->dir());
    const std::size_t before = peer.received().size();
    auto r = pinwait({"-dig", "6", "1"});
    std::int64_t queryUs = -1;
    const auto got = peer.received();
    for (std::size_t i = before; i < got.size() && queryUs < 0; ++i)
      if (got[i].bytes.find('?') != std::string::npos) queryUs = got[i].us;
    SCOPED_TRACE(canonical ? "canonical" : "non-canonical");
    expectUpload(r, queryUs, 0.5);
    EXPECT_EQ((line.settings().c_lflag & ICANON) != 0, canonical);
  }
}

TEST_F(Pinwait, APartOfANameWithoutItsLineEnd) {
  // Canonical: no whole line within 0.5 s is no answer. Non-canonical: the timed read ends
  // with what came, and that is a name.
  peer.onLine("?", "WaitSketch").onLine("INTD6=1", "OK\n");
  peer.start();
  auto r = pinwait({"-dig", "6", "1"});
  EXPECT_EQ(r.out, kAnnouncement + kLoaderSays);
  EXPECT_EQ(r.status, 254);
  setFlags(line, false, true);
  r = pinwait({"-dig", "6", "1"});
  EXPECT_EQ(r.out, "OK Pin changed!\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Pinwait, InputWaitingBeforeTheQueryIsNotTheAnswer) {
  for (bool canonical : {true, false}) {
    setFlags(line, canonical, true);
    const std::string stale = "WaitSketch\n";
    ASSERT_EQ(write(line.master(), stale.data(), stale.size()), static_cast<ssize_t>(stale.size()));
    ASSERT_TRUE(bench::waitPending(line));
    auto r = pinwait({"-dig", "6", "1"});  // no one answers the query
    EXPECT_EQ(r.out, kAnnouncement + kLoaderSays) << canonical;
    EXPECT_EQ(r.status, 254);
  }
}

TEST_F(Pinwait, WhatFollowsTheNameIsDroppedOnlyInCanonicalMode) {
  // The sketch sends a stale "OK" right after its name and "NO" as the wait's answer.
  waitSketch("INTD6=1", 200, "NO\r\n", "WaitSketch\r\nOK\r\n");
  // Canonical: the read took the name line only; the rest is discarded by the switch to
  // blocking mode, and the real answer is awaited.
  auto r = pinwait({"-dig", "6", "1"});
  EXPECT_EQ(r.out, transmissionReport("INTD6=1", "NO\n"));
  EXPECT_EQ(r.status, 255);
  // Non-canonical: the stream took it all with the name, so "OK" is read at once.
  setFlags(line, false, false);
  r = pinwait({"-dig", "6", "1"});
  EXPECT_EQ(r.out, "OK Pin changed!\n");
  EXPECT_EQ(r.status, 0);
}

// An identity line that never ends is judged on its first 254 characters; what the stream took
// beyond them is read as the wait's answer, so the endless rest is reported, not waited for.
// An endless wait answer beginning with "OK" is success at once.
TEST_F(Pinwait, JudgesEndlessLinesOnTheirFirst254Characters) {
  {
    bench::Sketch sketch(kRaw);
    bench::Process p(*board, onLine(sketch.line, {"-dig", "6", "1"}));
    ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
    sketch.peer.send("WaitSketch");
    sketch.peer.flood("xxxxxxxxxx", 1000);
    auto r = p.wait();
    EXPECT_EQ(r.out, transmissionReport("INTD6=1", std::string(254, 'x')));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");
  }
  bench::Sketch sketch(kRaw);
  bench::Process p(*board, onLine(sketch.line, {"-ana", "2", "lt", "200"}));
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  sketch.peer.send("WaitSketch\n");
  ASSERT_TRUE(sketch.peer.waitReceived("INTA2<200\n"));
  sketch.peer.flood("OKOKOKOKOK", 1000);
  const std::int64_t floodEnd = bench::monotonicMicros();
  auto r = p.wait();
  EXPECT_EQ(r.out, "OK value reached!\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  ASSERT_FALSE(r.outChunks.empty());
  EXPECT_LT(r.outChunks.back().first, floodEnd - 300000) << "it waited for the line to end";
}

// Gone before the identity answer: no answer, the missing-sketch path. Gone before the wait's
// answer, or mid-way through it: the read fails and so returns nothing, whatever part of a
// line came, and the report says so.
TEST_F(Pinwait, ReportsASketchThatVanishes) {
  struct Case {
    std::string name, before, out;
    int status;
  };
  for (const Case& c : {Case{"", "", kAnnouncement + kLoaderSays, 254},
                        Case{"WaitSketch\n", "", transmissionReport("INTD6=1", ""), 255},
                        Case{"WaitSketch\n", "O", transmissionReport("INTD6=1", ""), 255}}) {
    SCOPED_TRACE(c.name + c.before);
    bench::Sketch sketch(kRaw);
    bench::Process p(*board, onLine(sketch.line, {"-dig", "6", "1"}));
    ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
    if (!c.name.empty()) {
      sketch.peer.send(c.name);
      ASSERT_TRUE(sketch.peer.waitReceived("INTD6=1\n"));
    }
    if (!c.before.empty()) {
      sketch.peer.send(c.before);
      ASSERT_TRUE(sketch.peer.waitConsumed());
    }
    const std::int64_t gone = bench::monotonicMicros();
    sketch.peer.hangUp();
    auto r = p.wait();
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
    if (c.status == 255) {
      EXPECT_LT((r.endUs - gone) / 1e3, 500) << "the hang-up ends the wait";
    }
  }
}

// --- The loader ---
// pinwait's outside program, the loader: with its sketch missing pinwait announces the upload,
// closes the port, runs the loader through the shell and ends with 254 whatever the loader did;
// only a shell that cannot start gives "NO uploaded sketch!". A loader that is missing, or whose
// upload is killed, is not noticed.
namespace {

namespace programmer = bench::programmer;

class PinwaitLoader : public ::testing::Test, protected programmer::Fixture {
 protected:
  // pinwait waiting for a digital pin, on a line whose sketch is another one.
  bench::RunOptions pinwaitOptions() {
    auto s = uploadOptions({"pinwait", "-dig", "6", "1"});
    s.lines["/dev/ttyAMA0"] = other.line.slavePath();
    s.timeoutMs = 15000;
    return s;
  }
  bench::Sketch other{"OtherSketch\n"};
};

}  // namespace

TEST_F(PinwaitLoader, AMissingLoaderIsNotNoticed) {
  auto r = bench::run(*board, pinwaitOptions());
  campaign::expectSound(r);
  EXPECT_EQ(r.out, kAnnouncement);
  EXPECT_EQ(r.status, 254);
  EXPECT_NE(r.err.find(bench::kLoader), std::string::npos) << "the shell's complaint: " << r.err;
}

// The loader of the suite, uploading with mcuflash, whose programmer is killed mid-upload: the
// loader passes on mcuflash's failure, pinwait ends as it always does, and the line is low.
TEST_F(PinwaitLoader, AnUploadKilledMidRunIsNotNoticed) {
  auto s = pinwaitOptions();
  s.files[bench::kLoader] = MCULOAD;
  s.files[bench::kWaitSketch] = work.path() / programmer::kSketchFile;
  programmer::plan(board->dir(), 5000, 0);
  bench::Process p(*board, s);
  const auto started = waitStarted();
  ASSERT_GT(started.pid, 0);
  ASSERT_GE(started.argv.size(), 16u);
  EXPECT_EQ(started.argv[15], std::string("-Uflash:w:") + bench::kWaitSketch + ":i");
  const std::int64_t killed = bench::monotonicMicros();
  kill(started.pid, SIGKILL);
  auto r = p.wait();
  campaign::expectSound(r);
  EXPECT_EQ(r.out, kAnnouncement);
  EXPECT_EQ(r.status, 254);
  EXPECT_LT(bench::msBetween(killed, r.endUs), 1000);
  expectLineLoweredAfter(killed);
}
