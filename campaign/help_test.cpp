// Every program asked for help, with "-h" and with "--help": the same short text, status 0
// (1 for sketchcheck, whose help says it fails), at once, and nothing touched: no I2C transfer
// or GPIO call on the board, no byte on the serial line, no outside program started, with every
// outside program and the serial names there to be reached.
#include <gtest/gtest.h>

#include "bench.h"
#include "orvix_tools.h"
#include "standins/avrdude-recorder.h"

namespace {

class Help : public ::testing::TestWithParam<std::string> {
 protected:
  bench::RunResult ask(const std::string& word) {
    board->clearTrace();
    std::filesystem::remove(board->commandLog());
    bench::RunOptions options{.argv = {GetParam(), word},
                              .lines = {{"/dev/ttyS0", sketch.line.slavePath()},
                                        {"/dev/ttyAMA0", sketch.line.slavePath()},
                                        {"/dev/Arduino", sketch.line.slavePath()}},
                              .files = bench::setUpPi()};
    bench::bindStandIn(options, bench::kXterm);
    bench::bindStandIn(options, bench::kAvrdude);
    bench::bindStandIn(options, bench::kLoader);
    return bench::run(*board, options);
  }
  bench::ScratchBoard board;
  bench::Sketch sketch{"LinkTest\n"};
};

TEST_P(Help, GivesItsHelpAndTouchesNothing) {
  const auto help = ask("-h");
  EXPECT_FALSE(help.out.empty());
  EXPECT_EQ(help.out.back(), '\n');
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.status, GetParam() == "sketchcheck" ? 1 : 0);
  EXPECT_LT(help.seconds, 1.0);
  for (const auto& r : {help, ask("--help")}) {
    EXPECT_EQ(r.out, help.out);
    EXPECT_EQ(r.status, help.status);
    EXPECT_TRUE(board->trace().empty()) << simboard::describe(board->trace().front());
    EXPECT_TRUE(board->commands().empty()) << board->commands().front()[0];
  }
  EXPECT_EQ(sketch.peer.receivedBytes(), "");
  EXPECT_TRUE(bench::programmer::runs(board->dir()).empty()) << "the programmer ran";
}

INSTANTIATE_TEST_SUITE_P(EveryProgram, Help, ::testing::ValuesIn(orvix::kTools),
                         [](const auto& param) { return param.param; });

}  // namespace
