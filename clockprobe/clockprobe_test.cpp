#include <gtest/gtest.h>

#include "bench.h"

namespace {

class Clockprobe : public ::testing::Test {
 protected:
  void SetUp() override {
    board->setRtcHold(true);
    board->setRtcTime(2026, 12, 7, 9, 5, 41);
  }
  bench::RunResult probe(std::vector<std::string> args = {}) {
    args.insert(args.begin(), "clockprobe");
    bench::RunOptions runOptions;
    runOptions.argv = args;
    return bench::run(*board, runOptions);
  }
  bench::ScratchBoard board;
};

}  // namespace

TEST_F(Clockprobe, PrintsTheLabelledDateLine) {
  auto r = probe();
  EXPECT_EQ(r.out, "RTC Date:  07/12/2026 09:05\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.err.empty()) << r.err;
  for (std::vector<std::string> args : {std::vector<std::string>{"-x"}, {"-t", "x"}}) {
    r = probe(args);
    EXPECT_EQ(r.out, "RTC Date:  07/12/2026 09:05\n") << args[0];
    EXPECT_EQ(r.status, 0);
  }
}

TEST_F(Clockprobe, PadsAndReadsTheLibrarysFullHour) {
  board->setRtcRegisters({0x00, 0x01, 0x23, 0x02, 0x03, 0x04, 0x00});
  EXPECT_EQ(probe().out, "RTC Date:  03/04/2000 23:01\n");
  board->setRtcRegisters({0xD9, 0xD9, 0x63, 0x0F, 0xF1, 0xF2, 0x99});  // bits above the fields set
  EXPECT_EQ(probe().out, "RTC Date:  31/12/2099 23:59\n");
}

TEST_F(Clockprobe, ReadsTheSevenRegistersAndWritesNone) {
  board->clearTrace();
  probe();
  std::vector<int> reads;
  for (const auto& e : board->trace()) {
    EXPECT_NE(e.op, "i2c-write");
    if (e.op == "i2c-read") reads.push_back(e.args[0]);
  }
  EXPECT_EQ(reads, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 0})) << "the seconds again, at the end";
}

TEST_F(Clockprobe, HelpTouchesNothing) {
  board->clearTrace();
  for (const char* word : {"-h", "--help"}) {
    auto r = probe({word});
    EXPECT_EQ(r.out, "Check the RTC library: print the RTC date and time\nformat : clockprobe [-h]\n");
    EXPECT_EQ(r.status, 0);
  }
  EXPECT_TRUE(board->trace().empty());
}

TEST_F(Clockprobe, ATimeThatCannotExistIsNeverPrinted) {
  board->setRtcRegisters({0x00, 0x00, 0x24, 0x01, 0x07, 0x12, 0x26});  // hour 24
  auto r = probe();
  EXPECT_EQ(r.out, "RTC Date:  NO RTC time invalid!\n");
  EXPECT_EQ(r.status, 255);
}

TEST_F(Clockprobe, AResultThatCannotBeWrittenFails) {
  auto r = bench::run(*board, {.argv = {"sh", "-c", "clockprobe >/dev/full"}});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "clockprobe: cannot write standard output: No space left on device\n");
}

// Reads that fail from the (n+1)th on, n = 0 to 7, and all eight succeeding: reported, never
// decoded into a made-up date.
TEST_F(Clockprobe, AReadFailingPartWayIsReportedNeverDecoded) {
  for (int n = 0; n <= 8; ++n) {
    SCOPED_TRACE("reads that succeed: " + std::to_string(n));
    board->setRtcFailAfter(n);
    auto r = probe();
    campaign::expectSound(r);
    EXPECT_EQ(r.out, n == 8 ? "RTC Date:  07/12/2026 09:05\n" : "RTC Date:  NO RTC read failed!\n");
    EXPECT_EQ(r.status, n == 8 ? 0 : 255);
  }
}
