#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <thread>

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
    "Send a string to Arduino and wait its reply (it's blocking)\n"
    "Program needs a replying sketch uploaded on Arduino\n"
    "Serial speed is 9600 (fixed)\n"
    "Usage: sketchqueryblock \"...\"  or sketchqueryblock [-h] for help \n"
    "Ex.: sketchqueryblock \"?\"\n";

class Sketchqueryblock : public bench::SerialToolTest {
 protected:
  Sketchqueryblock() : SerialToolTest("sketchqueryblock") {}
  // The tool running while the case drives the sketch by hand.
  std::unique_ptr<bench::Process> start(const Sketch& sketch) {
    bench::RunOptions runOptions{.argv = {"sketchqueryblock", "?"}};
    runOptions.lines["/dev/ttyS0"] = sketch.line.slavePath();
    return std::make_unique<bench::Process>(*board, runOptions);
  }
};

// A sketch written to the protocol, on a line that starts with the Pi's settings or raw.
class SketchqueryblockProtocol : public Sketchqueryblock, public ::testing::WithParamInterface<LineStart> {};

}  // namespace

TEST_P(SketchqueryblockProtocol, ThreeRunsInARowSendTheLineAloneAndPrintTheSameLine) {
  ProtocolSketch sketch(GetParam(), {{"?", "LinkTest\n"}, {"T 1", "two\nlines\n"}});
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    auto r = runTool(sketch, {"?"});
    EXPECT_EQ(r.out, "LinkTest\n");  // the CR LF line end as one line end, as before on the Pi
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sketch.peer.receivedBytes(), times(run, "?\n"));
    EXPECT_EQ(sketch.pending(), 0);
  }
  // The lines after the first are left, and the next run throws them away.
  EXPECT_EQ(runTool(sketch, {"T 1"}).out, "two\n");
  EXPECT_EQ(runTool(sketch, {"?"}).out, "LinkTest\n");
  EXPECT_EQ(sketch.peer.receivedBytes(), "?\n?\n?\nT 1\n?\n");
  EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
}

TEST_P(SketchqueryblockProtocol, ControlBytesInTheAnswerArePrinted) {
  const std::string text = "Li\x03nk\x13Te\x04\x7f\x15\x17\x16\x11st";
  ProtocolSketch sketch(GetParam(), {{"?", text + "\n"}});
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    EXPECT_EQ(runTool(sketch, {"?"}).out, text + "\n");
    EXPECT_EQ(sketch.peer.receivedBytes(), times(run, "?\n"));
  }
  EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
}

TEST_P(SketchqueryblockProtocol, TheRequestGoesOutWithin1sAgainstASketchThatNeverPauses) {
  ProtocolSketch sketch(GetParam(), {{"?", ""}});
  bench::Chatter chatter(sketch.peer, sketch.line, "noise\n");
  auto r = runTool(sketch, {"?"});
  EXPECT_EQ(r.out, "noise\n");
  EXPECT_LT(r.seconds, 1.0 + 0.4);
  EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
  const auto received = sketch.peer.received();
  ASSERT_FALSE(received.empty());
  EXPECT_GT((received.front().us - r.startUs) / 1e6, 0.95);
  EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
}

INSTANTIATE_TEST_SUITE_P(Lines, SketchqueryblockProtocol, ::testing::Values(LineStart::piDefaults, LineStart::raw),
                         [](const auto& p) { return bench::nameOf(p.param); });

TEST_F(Sketchqueryblock, PrintsTheFirstAnswerLine) {
  Sketch lf("LinkTest\n");
  auto r = runTool(lf, {"?"});
  EXPECT_EQ(r.out, "LinkTest\n");
  EXPECT_EQ(r.status, 0);

  // The same line whatever the line's CR handling was before: a CR LF end is one line end.
  for (bool crToLf : {true, false}) {
    Sketch crlf("LinkTest\r\n");
    crlf.line.setCrToNl(crToLf);
    EXPECT_EQ(runTool(crlf, {"?"}).out, "LinkTest\n");
  }

  Sketch lines("first\nsecond\nthird\n");
  r = runTool(lines, {"?", "ignored"});
  EXPECT_EQ(r.out, "first\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Sketchqueryblock, ALineHoldsAtMost510Characters) {
  const std::string a(509, 'a');
  struct Case {
    std::string answer, out;
  };
  for (const Case& c : {Case{a + "\n", a + "\n"}, Case{a + "b\n", a + "b"}, Case{a + "bc\n", a + "b"},
                        Case{a + "\r\n", a + "\n"}, Case{a + "\r\r\n", a + "\r"}}) {
    SCOPED_TRACE(c.answer.size());
    Sketch sketch(c.answer);
    auto r = runTool(sketch, {"?"});
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 0);
  }
}

// A line that never ends is cut at 510 characters, printed while the line still runs.
TEST_F(Sketchqueryblock, CutsAnEndlessLineAt510) {
  Sketch sketch(kRaw);
  auto p = start(sketch);
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  const std::string sent = sketch.peer.flood("0123456789", 1000);
  const std::int64_t floodEnd = bench::monotonicMicros();
  auto r = p->wait();
  EXPECT_EQ(r.out, sent.substr(0, 510));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  ASSERT_FALSE(r.outChunks.empty());
  EXPECT_LT(r.outChunks.back().first, floodEnd - 300000) << "it waited for the line to end";
}

// Printed with "%s": the text ends at its first NUL, other bytes as they came.
TEST_F(Sketchqueryblock, PrintsTheLineUpToItsFirstNul) {
  Sketch sketch(kRaw, "Li\xc3\xb1k\xff\x01\0tail\n"s);
  auto r = runTool(sketch, {"?"});
  EXPECT_EQ(r.out, "Li\xc3\xb1k\xff\x01");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

// A sketch gone before the first byte leaves it waiting on: a blocking query has no time-out.
TEST_F(Sketchqueryblock, WaitsOnWhenTheSketchVanishesBeforeAnswering) {
  Sketch sketch(kRaw);
  auto p = start(sketch);
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  sketch.peer.hangUp();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_TRUE(p->running());
  p->signal(SIGTERM);
  auto r = p->wait();
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST_F(Sketchqueryblock, APauseOfATenthEndsTheLine) {
  Sketch sketch({{0, "Link"}, {300, "Test\n"}});
  EXPECT_EQ(runTool(sketch, {"?"}).out, "Link");
  Sketch quick({{0, "Li"}, {30, "nk"}, {30, "Test\n"}});
  EXPECT_EQ(runTool(quick, {"?"}).out, "LinkTest\n");
}

TEST_F(Sketchqueryblock, SendsTheArgumentAndALineFeed) {
  for (const std::string text : {"hello world", "", "say \"hi\""}) {
    SCOPED_TRACE(text);
    Sketch sketch({{0, "ok\n"}}, text);  // on a line with the tty's defaults, as on the Pi
    EXPECT_EQ(runTool(sketch, {text}).out, "ok\n");
    EXPECT_EQ(sketch.peer.receivedBytes(), text + "\n");
  }
}

TEST_F(Sketchqueryblock, InputWaitingBeforeTheRequestIsNeverPrinted) {
  Sketch sketch("LinkTest\n");
  sketch.peer.send("stale\n");
  waitPending(sketch.line);
  EXPECT_EQ(runTool(sketch, {"?"}).out, "LinkTest\n");
}

TEST_F(Sketchqueryblock, WaitsAsLongAsTheAnswerTakes) {
  Sketch late("LinkTest\n", 3000);  // past the 2 s that sketchquery would wait
  auto r = runTool(late, {"?"});
  EXPECT_EQ(r.out, "LinkTest\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_GE(r.seconds, 3.0);

  // Silence: it waits on, and the wait costs no CPU at all, not a nanosecond over 2 s.
  Sketch silent;
  bench::RunOptions runOptions = timeLimit(4000);
  runOptions.argv = {"sketchqueryblock", "?"};
  runOptions.lines["/dev/ttyS0"] = silent.line.slavePath();
  bench::Process tool(*board, runOptions);
  ASSERT_TRUE(silent.peer.waitReceived("?\n", 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // into its wait
  const auto cpuNs = [&] {
    long long ns = -1;
    std::ifstream("/proc/" + std::to_string(tool.pid()) + "/schedstat") >> ns;  // the scheduler's count
    return ns;
  };
  const long long before = cpuNs();
  ASSERT_GE(before, 0);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(cpuNs(), before);
  r = tool.wait();
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.out, "");
}

TEST_F(Sketchqueryblock, HelpEndsWith0AndLeavesTheLineAlone) {
  Sketch sketch("LinkTest\n");
  const std::vector<std::vector<std::string>> helps = {{}, {"-h"}, {"-hx"}, {"-h", "?"}};
  for (const auto& args : helps) {
    auto r = runTool(sketch, args);
    EXPECT_EQ(r.out, kHelp);
    EXPECT_EQ(r.status, 0);
  }
  EXPECT_EQ(sketch.peer.receivedBytes(), "");
  EXPECT_NE(sketch.line.settings().c_lflag & ICANON, 0u);
}
