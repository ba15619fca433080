#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "bench.h"

namespace {

using bench::LineStart;
using bench::openFiles;
using bench::ProtocolSketch;
using bench::Sketch;
using bench::timeLimit;
using bench::times;
using bench::waitPending;

const std::vector<std::string> kNoErrors;

const char* const kHelp =
    "Send a string to Arduino and wait its reply (it's blocking)\n"
    "Program needs a replying sketch uploaded on Arduino\n"
    "Serial speed is 9600 (fixed)\n"
    "Usage: sketchqueryblock \"...\"  or sketchqueryblock [-h] for help \n"
    "Ex.: sketchqueryblock \"?\"\n";

class Sketchqueryblock : public bench::SerialToolTest {
 protected:
  Sketchqueryblock() : SerialToolTest("sketchqueryblock") {}
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
  EXPECT_LT(r.seconds, 1.0 + 0.5);
  EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
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
                        Case{a + "\r\n", a + "\n"}, Case{a + "\r\r\n", a + "\r"},
                        Case{std::string(700, 'x') + "\n", std::string(510, 'x')}}) {
    SCOPED_TRACE(c.answer.size());
    Sketch sketch(c.answer);
    auto r = runTool(sketch, {"?"});
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 0);
  }
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

TEST_F(Sketchqueryblock, NoPortNoRequest) {
  auto r = runTool({"?"});
  EXPECT_EQ(r.out, "Impossible to open serial port!");
  EXPECT_EQ(r.status, 255);

  Sketch sketch("LinkTest\n");
  r = runTool(sketch, {"?"}, openFiles(4));  // the port opens, its streams cannot be made
  EXPECT_EQ(r.out, "Impossible to open serial port!");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(sketch.peer.receivedBytes(), "");
}
