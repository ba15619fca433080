#include <gtest/gtest.h>

#include <memory>

#include "bench.h"

namespace {

using bench::kNoErrors;
using bench::LineStart;
using bench::ProtocolSketch;
using bench::Sketch;
using bench::times;
using namespace std::string_literals;

const char* const kHelp =
    "Arduino sketch veryfing\n"
    "Just output name if sketch has itsMe() function\n";

// The Pi's line settings, or a raw line where every byte value crosses unchanged; canonical
// mode on or off.
bench::LineMode mode(bool canonical, LineStart start = LineStart::piDefaults) {
  return {.start = start, .canonical = canonical};
}

class Whichsketch : public bench::SerialToolTest {
 protected:
  Whichsketch() : SerialToolTest("whichsketch") {}
  // The tool running while the case drives the sketch by hand.
  std::unique_ptr<bench::Process> start(const Sketch& sketch) {
    bench::RunOptions runOptions{.argv = {"whichsketch"}};
    runOptions.lines["/dev/ttyS0"] = sketch.line.slavePath();
    return std::make_unique<bench::Process>(*board, runOptions);
  }
};

// The line's mode, set before each run: the tool keeps whichever it finds.
class Modes : public Whichsketch, public ::testing::WithParamInterface<bool> {
 protected:
  bool canonical() const { return GetParam(); }
};

// A sketch written to the protocol, on a line that starts with the Pi's settings or raw.
class WhichsketchProtocol : public Whichsketch, public ::testing::WithParamInterface<LineStart> {};

}  // namespace

TEST_P(WhichsketchProtocol, ThreeRunsInARowPrintTheSameName) {
  ProtocolSketch sketch(GetParam());
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    auto r = runTool(sketch);
    EXPECT_EQ(r.out, "LinkTest\n\n");  // the line, its CR LF end as one line end, and one more
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sketch.peer.receivedBytes(), times(run, "?\n"));
    EXPECT_EQ(sketch.pending(), 0);
  }
  EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
}

TEST_P(WhichsketchProtocol, ControlBytesInTheNameArePrinted) {
  // In canonical mode ^D would end the line and ^U, DEL and ^W edit it; ^C would throw it away.
  const std::string name = "Li\x03nk\x13Te\x04\x7f\x15\x17\x16\x11st";
  ProtocolSketch sketch(GetParam(), {{"?", name + "\n"}});
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    EXPECT_EQ(runTool(sketch).out, name + "\n\n");
    EXPECT_EQ(sketch.peer.receivedBytes(), times(run, "?\n"));
  }
  EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
}

INSTANTIATE_TEST_SUITE_P(Lines, WhichsketchProtocol, ::testing::Values(LineStart::piDefaults, LineStart::raw),
                         [](const auto& p) { return bench::nameOf(p.param); });

TEST_P(Modes, PrintsTheNameLineAndOneMoreLineEnd) {
  // A CR LF end is one line end, whatever the line's CR handling was before.
  for (bool crToLf : {true, false}) {
    SCOPED_TRACE(crToLf);
    Sketch crlf(mode(canonical()), "LinkTest\r\n");
    crlf.line.setCrToNl(crToLf);
    auto r = runTool(crlf);
    EXPECT_EQ(r.out, "LinkTest\n\n");
    EXPECT_EQ(r.status, 0);
  }

  Sketch lf(mode(canonical()), "LinkTest\nsecond line\n");
  auto r = runTool(lf, {"-hx", "more"});  // not the help: the query runs
  EXPECT_EQ(r.out, "LinkTest\n\n");
  EXPECT_EQ(r.status, 0);
}

TEST_P(Modes, KeepsTheLineModeAsFound) {
  Sketch sketch(mode(canonical()), "LinkTest\n");
  const termios before = sketch.line.settings();
  runTool(sketch);
  const termios after = sketch.line.settings();
  EXPECT_EQ(after.c_lflag & ICANON, before.c_lflag & ICANON);
  EXPECT_EQ(after.c_lflag & ECHO, 0u);
  EXPECT_EQ(after.c_cc[VTIME], 10);
  EXPECT_EQ(after.c_cc[VMIN], 0);
  EXPECT_EQ(cfgetispeed(&after), B9600);
  EXPECT_EQ(cfgetospeed(&after), B9600);
}

TEST_P(Modes, NoAnswerIsReportedAndFailsAfter1s) {
  Sketch silent(mode(canonical()));
  auto r = runTool(silent);
  EXPECT_EQ(r.out, "NO replay\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_LT(r.seconds, 1.6);
  ASSERT_FALSE(r.outChunks.empty());
  const auto received = silent.peer.received();
  ASSERT_FALSE(received.empty());
  EXPECT_NEAR((r.outChunks.front().first - received.front().us) / 1e6, 1.0, 0.2);  // 1 s after the query
}

TEST_P(Modes, TakesWaitingInputAsTheAnswer) {
  Sketch sketch(mode(canonical()), "LinkTest\n");
  sketch.peer.send("Old tail\n");
  ASSERT_TRUE(bench::waitPending(sketch.line));
  EXPECT_EQ(runTool(sketch).out, "Old tail\n\n");
}

TEST_P(Modes, PrintsAtMost254Characters) {
  Sketch sketch(mode(canonical()), std::string(300, 'n') + "\n");
  auto r = runTool(sketch);
  EXPECT_EQ(r.out, std::string(254, 'n') + "\n");
  EXPECT_EQ(r.status, 0);
  Sketch fits(mode(canonical()), std::string(253, 'n') + "\n");
  EXPECT_EQ(runTool(fits).out, std::string(253, 'n') + "\n\n");
}

INSTANTIATE_TEST_SUITE_P(CanonicalAndNot, Modes, ::testing::Bool());

// Printed with "%s\n": the text ends at its first NUL, other bytes as they came.
TEST_F(Whichsketch, PrintsTheLineUpToItsFirstNul) {
  Sketch sketch(mode(false, LineStart::raw), "Li\xc3\xb1k\xff\x01\0tail\n"s);
  auto r = runTool(sketch);
  EXPECT_EQ(r.out, "Li\xc3\xb1k\xff\x01\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

// A line that never ends is cut at 254 characters, printed while the line still runs; in
// canonical mode it is never readable: 1 s, and no answer.
TEST_F(Whichsketch, CutsAnEndlessLineAt254OrGivesUpOnIt) {
  {
    Sketch sketch(mode(false, LineStart::raw));
    auto p = start(sketch);
    ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
    const std::string sent = sketch.peer.flood("0123456789", 1000);
    const std::int64_t floodEnd = bench::monotonicMicros();
    auto r = p->wait();
    EXPECT_EQ(r.out, sent.substr(0, 254) + "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    ASSERT_FALSE(r.outChunks.empty());
    EXPECT_LT(r.outChunks.back().first, floodEnd - 300000) << "it waited for the line to end";
  }
  Sketch sketch(mode(true, LineStart::raw));
  auto p = start(sketch);
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  const std::int64_t asked = bench::monotonicMicros();
  sketch.peer.flood("0123456789", 1800);
  auto r = p->wait();
  EXPECT_EQ(r.out, "NO replay\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  ASSERT_FALSE(r.outChunks.empty());
  EXPECT_GT((r.outChunks.back().first - asked) / 1e3, 900);
  EXPECT_LT((r.outChunks.back().first - asked) / 1e3, 1500);
}

TEST_F(Whichsketch, NonCanonicalReadEndsAfter1sOfSilence) {
  Sketch cut(mode(false), {{0, "Link"}, {1500, "Test\n"}});
  auto r = runTool(cut);
  EXPECT_EQ(r.out, "Link\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(r.seconds, 1.5);

  Sketch slow(mode(false), {{0, "Li"}, {500, "nk"}, {500, "Test\n"}});  // gaps shorter than 1 s
  r = runTool(slow);
  EXPECT_EQ(r.out, "LinkTest\n\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Whichsketch, CanonicalModeShowsOnlyWholeLines) {
  // The line discipline holds the unfinished line back, so the tool sees no input at all.
  Sketch cut(mode(true), {{0, "Link"}, {1500, "Test\n"}});
  auto r = runTool(cut);
  EXPECT_EQ(r.out, "NO replay\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_LT(r.seconds, 1.5);
}

TEST_F(Whichsketch, AnEndOfFileByteIsData) {
  // Not the end of a canonical line: without its line end the line never comes.
  Sketch eof("\x04");
  auto r = runTool(eof);
  EXPECT_EQ(r.out, "NO replay\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_GT(r.seconds, 0.9);
  for (bool canonical : {true, false}) {
    Sketch line(mode(canonical), "\x04\n");
    EXPECT_EQ(runTool(line).out, "\x04\n\n");
  }
  Sketch raw(mode(false), "\x04");  // a byte as any other when the line is not canonical
  EXPECT_EQ(runTool(raw).out, "\x04\n");
}

TEST_F(Whichsketch, SendsTheIdentityQueryAndNothingElse) {
  Sketch sketch("LinkTest\n");
  sketch.line.setPlain();
  EXPECT_EQ(runTool(sketch).out, "LinkTest\n\n");
  EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");

  Sketch cooked("LinkTest\n");
  runTool(cooked);
  EXPECT_EQ(cooked.peer.receivedBytes(), "?\n");
}

TEST_F(Whichsketch, HelpForTheWholeWordInEitherCase) {
  Sketch sketch("LinkTest\n");
  for (std::vector<std::string> args : {std::vector<std::string>{"-h"}, {"-H"}, {"-h", "more"}}) {
    auto r = runTool(sketch, args);
    EXPECT_EQ(r.out, kHelp);
    EXPECT_EQ(r.status, 0);
  }
  EXPECT_EQ(sketch.peer.receivedBytes(), "");
  EXPECT_EQ(runTool(sketch, {"--h"}).out, "LinkTest\n\n");
  EXPECT_EQ(runTool(sketch, {"other"}).out, "LinkTest\n\n");
}
