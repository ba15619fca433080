#include <gtest/gtest.h>

#include "bench.h"

namespace {

using bench::kNoErrors;
using bench::kRaw;
using bench::LineStart;
using bench::ProtocolSketch;
using bench::Sketch;
using bench::timeLimit;
using bench::times;
using bench::waitPending;
using namespace std::string_literals;

const char* const kHelp =
    "Return 0 if sketch has the name indicated; 1 otherwise\n"
    "Sketch has to inplement function itsMe()\n"
    "Serial speed is 9600 (fixed)\n"
    "Usage: sketchcheck \"nametoverify\" or sketchcheck [-h] for help \n"
    "Ex.: sketchcheck \"LinkTest\"\n";

class Sketchcheck : public bench::SerialToolTest {
 protected:
  Sketchcheck() : SerialToolTest("sketchcheck") {}
};

void expectYes(const bench::RunResult& r) {
  EXPECT_EQ(r.out, "YES\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

void expectNo(const bench::RunResult& r) {
  EXPECT_EQ(r.out, "NO\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
}

// Waits until the tool's side of the line holds input, as bytes left from an earlier answer would.
class Endings : public Sketchcheck, public ::testing::WithParamInterface<const char*> {};

bench::RunOptions onDevice(const std::string& name, const bench::Line& line, std::vector<std::string> argv = {}) {
  bench::RunOptions runOptions{.argv = std::move(argv)};
  runOptions.lines[name] = line.slavePath();
  return runOptions;
}

// A sketch written to the protocol, on a line that starts with the Pi's settings or raw.
class SketchcheckProtocol : public Sketchcheck, public ::testing::WithParamInterface<LineStart> {};

}  // namespace

TEST_P(SketchcheckProtocol, ThreeRunsInARowSendTheQueryAloneAndMatch) {
  ProtocolSketch sketch(GetParam());
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    expectYes(runTool(sketch, {"LinkTest"}));
    EXPECT_EQ(sketch.peer.receivedBytes(), times(run, "?\n"));  // no CR, no echo of the answer
    EXPECT_EQ(sketch.pending(), 0);
  }
  // The CR of the line end belongs to no name, as it did when the line read it as a LF.
  expectNo(runTool(sketch, {"LinkTest\r"}));
  EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
}

TEST_P(SketchcheckProtocol, ControlBytesInTheNameAreData) {
  // ^C, XOFF, ^D, DEL, ^U, ^W, ^V, XON: on a line left as it was, the first would throw away
  // what came before it and the second would stop the next run's query.
  const std::string name = "Li\x03nk\x13Te\x04\x7f\x15\x17\x16\x11st";
  ProtocolSketch sketch(GetParam(), {{"?", name + "\n"}});
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    expectYes(runTool(sketch, {name}));
    EXPECT_EQ(sketch.peer.receivedBytes(), times(run, "?\n"));
  }
  EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
}

TEST_P(SketchcheckProtocol, EndsWithinItsBoundAndASecondAgainstASketchThatNeverPauses) {
  ProtocolSketch sketch(GetParam(), {{"?", ""}});  // it hears the query and talks on
  bench::Chatter chatter(sketch.peer, sketch.line, "noise ");
  auto r = runTool(sketch, {"LinkTest"});
  expectNo(r);
  EXPECT_LT(r.seconds, 2.1 + 1.0 + 0.5);
  EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");  // after at most 1 s of discarding
  const auto received = sketch.peer.received();
  ASSERT_FALSE(received.empty());
  EXPECT_GT((received.front().us - r.startUs) / 1e6, 0.95);
  EXPECT_LT((received.front().us - r.startUs) / 1e6, 1.2);
  EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
}

TEST_F(Sketchcheck, ClosedStandardStreamsNeverReachTheSketch) {
  // Started with its standard streams closed, the tool would get the port as descriptor 0, 1
  // or 2, and send its result, or the help text, to the sketch.
  for (const char* closing : {"<&- >&- 2>&-", ">&-", "2>&-"}) {
    SCOPED_TRACE(closing);
    ProtocolSketch sketch(LineStart::piDefaults);
    bench::RunOptions runOptions;
    runOptions.lines["/dev/ttyS0"] = sketch.line.slavePath();
    runOptions.argv = {"sh", "-c", std::string("sketchcheck LinkTest ") + closing + "; echo $?"};
    auto r = bench::run(*board, runOptions);
    EXPECT_EQ(r.out, std::string(closing) == "2>&-" ? "YES\n0\n" : "0\n");
    EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
    EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
  }
}

INSTANTIATE_TEST_SUITE_P(Lines, SketchcheckProtocol, ::testing::Values(LineStart::piDefaults, LineStart::raw),
                         [](const auto& p) { return bench::nameOf(p.param); });

TEST_P(Endings, MatchesAPrefixWithoutRegardToCase) {
  Sketch sketch(std::string("LinkTest") + GetParam());
  for (const char* name : {"LinkTest", "linktest", "LINKTEST", "Link", "l", ""}) {
    SCOPED_TRACE(name);
    expectYes(runTool(sketch, {name}));
  }
  for (const char* name : {"LinkTestX", "LinkTest ", "Linq", "inkTest", "LinkTest\r"}) {
    SCOPED_TRACE(name);
    expectNo(runTool(sketch, {name}));
  }
  expectYes(runTool(sketch, {"Link", "ignored", "words"}));
}

INSTANTIATE_TEST_SUITE_P(CrLfAndLf, Endings, ::testing::Values("\r\n", "\n"));

// The text ends at its first NUL; ASCII letters match without regard to case, other bytes as
// they are.
TEST_F(Sketchcheck, TakesNulAsTheEndAndOtherBytesAsTheyAre) {
  struct Case {
    std::string answer, name;
    bool yes;
  };
  for (const Case& c : {Case{"Link\0Test\n"s, "Link", true}, Case{"Link\0Test\n"s, "LinkTest", false},
                        Case{"Li\xc3\xb1k\xff\n", "LI\xc3\xb1K\xff", true},
                        Case{"Li\xc3\xb1k\xff\n", "LI\xc3\x91K", false},  // no case for bytes beyond ASCII
                        Case{"\x01\x02\x7f\x80\xfe\n", "\x01\x02\x7f\x80\xfe", true}}) {
    SCOPED_TRACE(c.name);
    Sketch sketch(kRaw, c.answer);
    const auto r = runTool(sketch, {c.name});
    c.yes ? expectYes(r) : expectNo(r);
  }
}

TEST_F(Sketchcheck, InputWaitingBeforeTheQueryIsNeverCompared) {
  Sketch sketch("Other\r\n");
  sketch.peer.send("LinkTest\r\n");  // the tail of an earlier answer
  waitPending(sketch.line);
  expectNo(runTool(sketch, {"LinkTest"}));
  sketch.peer.send("LinkTest\r\n");
  waitPending(sketch.line);
  expectYes(runTool(sketch, {"Other"}));
}

TEST_F(Sketchcheck, TheQueryWaitsForATenthOfSilence) {
  Sketch sketch("LinkTest\r\n");
  sketch.line.setEcho(false);
  for (int ms = 0; ms <= 400; ms += 40) sketch.peer.sendAt(ms, "noise ");
  expectNo(runTool(sketch, {"noise"}));  // the chatter is discarded, the answer compared
  const auto sent = sketch.peer.sentTimes();
  ASSERT_EQ(sent.size(), 12u);  // 11 pieces of chatter, then the answer
  const auto received = sketch.peer.received();
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.front().bytes, "?\n");
  EXPECT_GE(received.front().us - sent[10], 90000);
}

TEST_F(Sketchcheck, APauseOfATenthEndsTheAnswer) {
  {
    Sketch sketch({{0, "Link"}, {300, "Test\r\n"}});
    expectNo(runTool(sketch, {"LinkTest"}));
  }
  {
    Sketch sketch({{0, "Link"}, {300, "Test\r\n"}});
    expectYes(runTool(sketch, {"Link"}));
  }
  {
    Sketch sketch({{0, "Li"}, {30, "nk"}, {30, "Test\r\n"}});  // short gaps keep the answer whole
    expectYes(runTool(sketch, {"LinkTest"}));
  }
}

TEST_F(Sketchcheck, ComparesAtMost511Bytes) {
  Sketch sketch(std::string(600, 'a') + "\r\n");
  expectYes(runTool(sketch, {std::string(511, 'A')}));
  expectNo(runTool(sketch, {std::string(512, 'a')}));
}

// A line that never ends is cut at 511 bytes: the answer comes while the line still runs.
TEST_F(Sketchcheck, StopsAnEndlessLineAt511Bytes) {
  Sketch sketch(kRaw);
  bench::Process p(*board, onDevice("/dev/ttyS0", sketch.line, {"sketchcheck", "0123456789012"}));
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  sketch.peer.flood("0123456789", 1000);
  const std::int64_t floodEnd = bench::monotonicMicros();
  auto r = p.wait();
  expectYes(r);
  ASSERT_FALSE(r.outChunks.empty());
  EXPECT_LT(r.outChunks.back().first, floodEnd - 300000) << "it waited for the line to end";
}

TEST_F(Sketchcheck, TheAnswerHasAbout2sToBegin) {
  {
    Sketch late("LinkTest\r\n", 1500);
    expectYes(runTool(late, {"LinkTest"}));
  }
  Sketch tooLate("LinkTest\r\n", 2600);
  auto r = runTool(tooLate, {"LinkTest"});
  expectNo(r);
  EXPECT_LT(r.seconds, 2.6);
}

TEST_F(Sketchcheck, NoSketchMeansNoWhateverTheName) {
  Sketch silent;
  for (const char* name : {"LinkTest", ""}) {
    SCOPED_TRACE(name);
    auto r = runTool(silent, {name});
    expectNo(r);
    EXPECT_NEAR(r.seconds, 2.1, 0.35);  // 0.1 s of discarding, 2 s for a first byte
  }
  EXPECT_EQ(silent.peer.receivedBytes(), "?\n?\n");
}

TEST_F(Sketchcheck, ReadsBytesAsTheyComeWhateverTheLineMode) {
  Sketch sketch("LinkTest");  // no line end: a canonical read would wait for ever
  ASSERT_NE(sketch.line.settings().c_lflag & ICANON, 0u);
  auto r = runTool(sketch, {"LinkTest"}, timeLimit(5000));
  expectYes(r);
  const termios t = sketch.line.settings();
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(t.c_cc[VTIME], 1);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(cfgetispeed(&t), B9600);
  EXPECT_EQ(cfgetospeed(&t), B9600);
}

TEST_F(Sketchcheck, HelpEndsWith1AndLeavesTheLineAlone) {
  Sketch sketch("LinkTest\r\n");
  const std::vector<std::vector<std::string>> helps = {{}, {"-h"}, {"-help"}, {"-hLinkTest"}, {"-h", "LinkTest"}};
  for (const auto& args : helps) {
    auto r = runTool(sketch, args);
    EXPECT_EQ(r.out, kHelp);
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_EQ(sketch.peer.receivedBytes(), "");
  EXPECT_NE(sketch.line.settings().c_lflag & ICANON, 0u);
  // Case counts: "-H" is a name to check.
  expectNo(runTool(sketch, {"-H"}));
  EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
}

TEST_F(Sketchcheck, ASketchOnTheOtherDeviceIsNotAsked) {
  Sketch elsewhere("LinkTest\r\n");
  auto r = runTool({"LinkTest"}, onDevice("/dev/ttyAMA0", elsewhere.line));
  EXPECT_EQ(r.out, "Impossible to open serial port!");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(elsewhere.peer.receivedBytes(), "");
}
