#include <gtest/gtest.h>

#include "bench.h"

namespace {

struct Write {
  int reg;
  int value;
  int result;
  bool operator==(const Write&) const = default;
};

class Alarmclear : public ::testing::Test {
 protected:
  void SetUp() override {
    board->setRtcHold(true);
    board->setRtcTime(2026, 12, 7, 9, 5, 41);
    board->setRtcRegisters({0x30, 0x87, 0x43, 0xE7}, 11);  // an alarm set, control bits all over
  }
  bench::RunResult clear(std::vector<std::string> args = {}) {
    args.insert(args.begin(), "alarmclear");
    board->clearTrace();
    bench::RunOptions runOptions;
    runOptions.argv = args;
    return bench::run(*board, runOptions);
  }
  std::vector<Write> writes() {
    std::vector<Write> out;
    for (const auto& e : board->trace()) {
      EXPECT_NE(e.op, "i2c-read");
      if (e.op == "i2c-write") out.push_back({e.args[0], e.args[1], e.args[2]});
    }
    return out;
  }
  bench::ScratchBoard board;
};

}  // namespace

TEST_F(Alarmclear, WritesControlThenTheNoWakeUpMark) {
  auto r = clear();
  EXPECT_EQ(r.out, "Alarm reset!\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.err.empty()) << r.err;
  EXPECT_EQ(writes(), (std::vector<Write>{{14, 0x18, 0}, {11, 0x00, 0}, {12, 0x00, 0}, {13, 0x00, 0}}));
  const auto regs = board->rtcRegisters();
  EXPECT_EQ(regs[14], 0x18);  // the whole register replaced, not bits added
  EXPECT_EQ(regs[11], 0);
  EXPECT_EQ(regs[12], 0);
  EXPECT_EQ(regs[13], 0);
  EXPECT_EQ(regs[5], 0x12);  // the clock itself is left alone
}

TEST_F(Alarmclear, ArgumentsChangeNothing) {
  auto r = clear({"-x", "now"});
  EXPECT_EQ(r.out, "Alarm reset!\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(writes().size(), 4u);
}

TEST_F(Alarmclear, HelpClearsNothing) {
  board->clearTrace();
  for (const char* word : {"-h", "--help"}) {
    auto r = clear({word, "now"});
    EXPECT_EQ(r.out, "Clear the RTC wake-up alarm\nformat : alarmclear [-h]\n");
    EXPECT_EQ(r.status, 0);
  }
  EXPECT_TRUE(board->trace().empty());
}

TEST_F(Alarmclear, NoClockMeansNoWrites) {
  board->setRtcBus(simboard::RtcBus::kNoBus);
  auto r = clear();
  EXPECT_EQ(r.out, "Error I2C; no alarm resetting!\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(writes().empty());
  board->setRtcBus(simboard::RtcBus::kOk);
  EXPECT_EQ(board->rtcRegisters()[14], 0xE7);
}

// The four writes failing from the (n+1)th on: the error line unless all four went, and the
// other registers are still cleared.
TEST_F(Alarmclear, AFailedWriteIsNoReset) {
  for (int good = 0; good <= 6; ++good) {
    SCOPED_TRACE("writes that succeed: " + std::to_string(good));
    board->setRtcFailAfter(good);
    auto r = clear();
    board->setRtcFailAfter(-1);
    campaign::expectSound(r);
    const bool whole = good >= 4;
    EXPECT_EQ(r.out, whole ? "Alarm reset!\n" : "Error I2C; no alarm resetting!\n");
    EXPECT_EQ(r.status, whole ? 0 : 255);
    const auto w = writes();
    ASSERT_EQ(w.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(w[i].result, i < good ? 0 : -1) << "write " << i;
  }
}
