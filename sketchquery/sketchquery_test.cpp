#include <gtest/gtest.h>

#include "bench.h"

namespace {

using bench::kNoErrors;
using bench::kRaw;
using bench::LineStart;
using bench::ProtocolSketch;
using bench::Sketch;
using bench::times;
using bench::waitPending;

const char* const kHelp =
    "Send a string to Arduino and print its reply\n"
    "Program needs a replying sketch uploaded on Arduino\n"
    "Serial speed is 9600 (fixed)\n"
    "Usage: sketchquery \"...\"  or sketchquery [-h] for help \n"
    "Ex.: sketchquery \"?\"\n";

class Sketchquery : public bench::SerialToolTest {
 protected:
  Sketchquery() : SerialToolTest("sketchquery") {}
};

// A sketch written to the protocol, on a line that starts with the Pi's settings or raw.
class SketchqueryProtocol : public Sketchquery, public ::testing::WithParamInterface<LineStart> {};

}  // namespace

TEST_P(SketchqueryProtocol, ThreeRunsInARowSendTheLineAloneAndCopyTheAnswerAsSent) {
  ProtocolSketch sketch(GetParam(), {{"?", "LinkTest\n"}, {"T 1", "two\nlines\n"}});
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    auto r = runTool(sketch, {"?"});
    EXPECT_EQ(r.out, "LinkTest\r\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(runTool(sketch, {"T 1"}).out, "two\r\nlines\r\n");
    EXPECT_EQ(sketch.peer.receivedBytes(), times(run, "?\nT 1\n"));
    EXPECT_EQ(sketch.pending(), 0);
  }
  EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
}

TEST_P(SketchqueryProtocol, ControlBytesInTheAnswerAreCopied) {
  // ^C would throw away what came before it, XOFF would be swallowed and stop the next
  // request, ^D, DEL and ^U would edit a canonical line.
  const std::string answer = "Li\x03nk\x13Te\x04\x7f\x15\x17\x16\x11st\n";
  ProtocolSketch sketch(GetParam(), {{"?", answer}});
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    EXPECT_EQ(runTool(sketch, {"?"}).out, "Li\x03nk\x13Te\x04\x7f\x15\x17\x16\x11st\r\n");
    EXPECT_EQ(sketch.peer.receivedBytes(), times(run, "?\n"));
  }
  EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
}

TEST_P(SketchqueryProtocol, EndsWithinItsBoundsAgainstASketchThatNeverPauses) {
  ProtocolSketch sketch(GetParam(), {{"?", ""}});  // it hears the request and talks on
  bench::Chatter chatter(sketch.peer, sketch.line, "noise\n");
  auto r = runTool(sketch, {"?"}, {.timeoutMs = 20000});
  // At most 1 s of discarding, the answer at once, then at most 10 s of it copied, and the
  // cut said.
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "sketchquery: answer cut: still coming after 10 s\n");
  EXPECT_LT(r.seconds, 1.0 + 10.0 + 0.4);
  EXPECT_GT(r.seconds, 1.0 + 10.0 - 0.05);
  EXPECT_TRUE(r.out.starts_with("noise\n")) << r.out;
  EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
  const auto received = sketch.peer.received();
  ASSERT_FALSE(received.empty());
  EXPECT_GT((received.front().us - r.startUs) / 1e6, 0.95);
  EXPECT_LT((received.front().us - r.startUs) / 1e6, 1.35);
  EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
}

INSTANTIATE_TEST_SUITE_P(Lines, SketchqueryProtocol, ::testing::Values(LineStart::piDefaults, LineStart::raw),
                         [](const auto& p) { return bench::nameOf(p.param); });

TEST_F(Sketchquery, PrintsTheAnswerAsItCame) {
  Sketch crlf("LinkTest\r\n");
  auto r = runTool(crlf, {"?"});
  EXPECT_EQ(r.out, "LinkTest\r\n");
  EXPECT_EQ(r.status, 0);

  Sketch lf("LinkTest\n");
  r = runTool(lf, {"?", "ignored"});
  EXPECT_EQ(r.out, "LinkTest\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST_F(Sketchquery, SendsTheArgumentAndALineFeed) {
  for (const std::string text : {"hello world", "", "say \"hi\" \\n $HOME"}) {
    SCOPED_TRACE(text);
    Sketch sketch({{0, "ok\n"}}, text);
    sketch.line.setPlain();
    EXPECT_EQ(runTool(sketch, {text, "more"}).out, "ok\n");  // the sketch heard the line
    EXPECT_EQ(sketch.peer.receivedBytes(), text + "\n");
  }
  Sketch cooked;
  runTool(cooked, {"-H"});  // case counts: a text to send, not the help
  EXPECT_EQ(cooked.peer.receivedBytes(), "-H\n");
}

TEST_F(Sketchquery, CopiesEverythingUntilATenthOfSilence) {
  {
    Sketch sketch({{0, "line one\r\n"}, {40, "line two\r\n"}, {40, "three"}});
    EXPECT_EQ(runTool(sketch, {"?"}).out, "line one\r\nline two\r\nthree");
  }
  Sketch sketch({{0, "first part\n"}, {300, "second part\n"}});
  auto r = runTool(sketch, {"?"});
  EXPECT_EQ(r.out, "first part\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Sketchquery, CopiesEveryByteValue) {
  std::string answer;
  for (int c = 0; c <= 255; ++c) answer += static_cast<char>(c);
  Sketch sketch(kRaw, answer);
  auto r = runTool(sketch, {"?"});
  EXPECT_EQ(r.out, answer);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

// An answer that never pauses is copied whole for as long as it lasts, then the copy ends
// 0.1 s after the last byte.
TEST_F(Sketchquery, CopiesAFloodUntilItStops) {
  Sketch sketch(kRaw);
  bench::RunOptions runOptions{.argv = {"sketchquery", "?"}};
  runOptions.lines["/dev/ttyS0"] = sketch.line.slavePath();
  bench::Process p(*board, runOptions);
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  const std::string sent = sketch.peer.flood("abcdefghi\n", 700);
  const std::int64_t floodEnd = bench::monotonicMicros();
  auto r = p.wait();
  EXPECT_EQ(r.out.size(), sent.size());
  EXPECT_TRUE(r.out == sent) << "the flood came out changed";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_GE((r.endUs - floodEnd) / 1e3, 50) << "it must wait out 0.1 s of silence";
  EXPECT_LT((r.endUs - floodEnd) / 1e3, 600);
}

TEST_F(Sketchquery, CopiesLongAnswersWholeAndAsTheyArrive) {
  std::string big;
  for (int i = 0; i < 1500; ++i) big += static_cast<char>('a' + i % 26);
  {
    Sketch sketch(big + "\n");
    EXPECT_EQ(runTool(sketch, {"?"}).out, big + "\n");
  }
  {
    // 6 KiB as a sketch sends it at 9600 baud, 960 bytes a second without a pause: 6.4 s.
    std::vector<bench::Chunk> paced;
    std::string all;
    for (int i = 0; i < 256; ++i) {
      paced.push_back({25, std::string(23, static_cast<char>('a' + i % 26)) + "\n"});
      all += paced.back().bytes;
    }
    Sketch sketch(paced);
    auto r = runTool(sketch, {"?"}, {.timeoutMs = 20000});
    EXPECT_EQ(r.out.size(), all.size());
    EXPECT_TRUE(r.out == all);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_GT(r.seconds, 6.4);
  }
  Sketch sketch({{0, "one\n"}, {80, "two\n"}, {80, "three\n"}});
  auto r = runTool(sketch, {"?"});
  EXPECT_EQ(r.out, "one\ntwo\nthree\n");
  const auto sent = sketch.peer.sentTimes();
  ASSERT_EQ(sent.size(), 3u);
  ASSERT_FALSE(r.outChunks.empty());
  EXPECT_LT(r.outChunks.front().first, sent[2]);  // printed before the answer was over
  EXPECT_EQ(r.outChunks.front().second.substr(0, 4), "one\n");
}

TEST_F(Sketchquery, InputWaitingBeforeTheRequestIsNeverPrinted) {
  Sketch sketch("LinkTest\r\n");
  sketch.peer.send("stale\r\n");
  waitPending(sketch.line);
  EXPECT_EQ(runTool(sketch, {"?"}).out, "LinkTest\r\n");
}

TEST_F(Sketchquery, TheAnswerHasAbout2sToBegin) {
  {
    Sketch late("LinkTest\n", 1500);
    EXPECT_EQ(runTool(late, {"?"}).out, "LinkTest\n");
  }
  Sketch tooLate("LinkTest\n", 2600);
  auto r = runTool(tooLate, {"?"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Sketchquery, NoSketchPrintsNothing) {
  Sketch silent;
  auto r = runTool(silent, {"?"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_NEAR(r.seconds, 2.1, 0.35);  // 0.1 s of discarding, 2 s for a first byte
}

TEST_F(Sketchquery, HelpEndsWith0AndLeavesTheLineAlone) {
  Sketch sketch("LinkTest\r\n");
  const std::vector<std::vector<std::string>> helps = {{}, {"-h"}, {"-help"}, {"-h?"}, {"-h", "?"}};
  for (const auto& args : helps) {
    auto r = runTool(sketch, args);
    EXPECT_EQ(r.out, kHelp);
    EXPECT_EQ(r.status, 0);
  }
  EXPECT_EQ(sketch.peer.receivedBytes(), "");
  EXPECT_NE(sketch.line.settings().c_lflag & ICANON, 0u);
}
