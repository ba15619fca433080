// pinwait as a process on the bench, against a scripted pin-wait sketch on /dev/ttyAMA0.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "bench.h"
#include "standins/mcuload-recorder.h"

namespace {

using bench::LineStart;
using bench::ProtocolSketch;
using bench::times;

const std::vector<std::string> kNoErrors;

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

void setFlags(bench::Line& line, bool canonical, bool crToNl) {
  line.setCanonical(canonical);
  line.setCrToNl(crToNl);
}

class Pinwait : public ::testing::Test {
 protected:
  bench::RunResult pinwait(std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), "pinwait");
    bench::RunOptions runOptions{.argv = args, .timeoutMs = 10000, .env = env};
    runOptions.lines["/dev/ttyAMA0"] = line.slavePath();
    bench::bindStandIn(runOptions, bench::kLoader);
    return bench::run(*board, runOptions);
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
class PinwaitProtocol : public Pinwait, public ::testing::WithParamInterface<LineStart> {
 protected:
  bench::RunResult pinwaitOn(const ProtocolSketch& sketch, std::vector<std::string> args) {
    args.insert(args.begin(), "pinwait");
    bench::RunOptions runOptions{.argv = args};
    runOptions.lines["/dev/ttyAMA0"] = sketch.line.slavePath();
    bench::bindStandIn(runOptions, bench::kLoader);
    return bench::run(*board, runOptions);
  }
};

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
    auto r = pinwaitOn(sketch, {"-dig", "6", "1"});
    EXPECT_EQ(r.out, "OK Pin changed!\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_GE(r.seconds, 0.3) << "a left-over line end was taken as the answer";
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
    auto r = pinwaitOn(sketch, {"-ana", "2", "lt", "200"});
    EXPECT_EQ(r.out, "OK value reached!\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_GE(r.seconds, 0.3);
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
  EXPECT_GE(r.seconds, 0.3);
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

TEST_F(Pinwait, TheWaitAnswerMustBeginWithUpperCaseOK) {
  peer.onLine("?", "WaitSketch\r\n")
      .onLine("INTD6=1", "ok\r\n", 100)
      .onLine("INTD7=1", "OK, pin 7 is high\r\n", 100)
      .onLine("INTA3>5", "NO\r\n", 100)
      .onLine("INTD8=0", "O\r\n", 100);
  peer.start();
  // The answer's CR LF is one line end, reported as its LF.
  auto r = pinwait({"-dig", "6", "1"});
  EXPECT_EQ(r.out, "NO Error on transmission!\nSent    : INTD6=1\nReceived: ok\n\n");
  EXPECT_EQ(r.status, 255);
  r = pinwait({"-dig", "7", "1"});
  EXPECT_EQ(r.out, "OK Pin changed!\n");
  EXPECT_EQ(r.status, 0);
  r = pinwait({"-ana", "3", "gt", "5"});
  EXPECT_EQ(r.out, "NO Error on transmission!\nSent    : INTA3>5\nReceived: NO\n\n");
  EXPECT_EQ(r.status, 255);
  r = pinwait({"-dig", "8", "0"});
  EXPECT_EQ(r.out, "NO Error on transmission!\nSent    : INTD8=0\nReceived: O\n\n");
  // The same whatever the line did with a CR before.
  setFlags(line, true, false);
  r = pinwait({"-dig", "6", "1"});
  EXPECT_EQ(r.out, "NO Error on transmission!\nSent    : INTD6=1\nReceived: ok\n\n");
}

TEST_F(Pinwait, AnEmptyWaitAnswerIsReportedAsItCame) {
  // A lone line end, and an end-of-file byte, which is data and no end of a canonical line.
  peer.onLine("?", "WaitSketch\r\n").onLine("INTD6=1", "\r\n", 100).onLine("INTD7=1", "\x04\r\n", 100);
  peer.start();
  auto r = pinwait({"-dig", "6", "1"});
  EXPECT_EQ(r.out, "NO Error on transmission!\nSent    : INTD6=1\nReceived: \n\n");
  EXPECT_EQ(r.status, 255);
  r = pinwait({"-dig", "7", "1"});
  EXPECT_EQ(r.out, "NO Error on transmission!\nSent    : INTD7=1\nReceived: \x04\n\n");
  EXPECT_EQ(r.status, 255);
}

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
       }) {
    bench::Line own;  // a sketch of its own for each answer
    own.setPlain();
    bench::SketchPeer sketch(own);
    sketch.onLine("?", answer).onLine("INTD6=1", "OK\n");
    sketch.start();
    bench::RunOptions runOptions{.argv = {"pinwait", "-dig", "6", "1"}};
    runOptions.lines["/dev/ttyAMA0"] = own.slavePath();
    bench::bindStandIn(runOptions, bench::kLoader);
    auto r = bench::run(*board, runOptions);
    EXPECT_EQ(r.out, ok ? "OK Pin changed!\n" : kAnnouncement + kLoaderSays) << answer;
    EXPECT_EQ(r.status, ok ? 0 : 254) << answer;
  }
  EXPECT_EQ(loaderCalls().size(), 5u);
}

TEST_F(Pinwait, AnotherSketchGetsTheLoaderAfterThePortIsClosed) {
  peer.onLine("?", "EchoSketch\r\n");
  peer.start();
  auto r = pinwait({"-dig", "6", "1"});
  expectUpload(r, heardAt("?\n"), 0);
  EXPECT_EQ(peer.receivedBytes().find("INTD"), std::string::npos);
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
  EXPECT_EQ(r.out, "NO Error on transmission!\nSent    : INTD6=1\nReceived: NO\n\n");
  EXPECT_EQ(r.status, 255);
  // Non-canonical: the stream took it all with the name, so "OK" is read at once.
  setFlags(line, false, false);
  r = pinwait({"-dig", "6", "1"});
  EXPECT_EQ(r.out, "OK Pin changed!\n");
  EXPECT_EQ(r.status, 0);
}
