#include <gtest/gtest.h>

#include <cstdio>

#include "bench.h"

namespace {

class Rtcpeek : public ::testing::Test {
 protected:
  void SetUp() override { board->setRtcHold(true); }
  bench::RunResult run(std::vector<std::string> argv) {
    bench::RunOptions runOptions;
    runOptions.argv = std::move(argv);
    return bench::run(*board, runOptions);
  }
  bench::RunResult peek(std::vector<std::string> args = {}) {
    args.insert(args.begin(), "rtcpeek");
    board->clearTrace();
    return run(args);
  }
  // The handle the board gave the tool, as the tool must print it.
  std::string handle() {
    for (const auto& e : board->trace())
      if (e.op == "i2c-setup") return std::to_string(e.args[1]);
    return "no setup";
  }
  // The date line for registers 0 to 6.
  std::string dateLine(const std::vector<std::uint8_t>& regs) {
    board->setRtcRegisters(regs);
    auto r = peek();
    EXPECT_EQ(r.status, 0);
    const auto at = r.out.rfind('\n', r.out.size() - 2);
    return r.out.substr(at + 1);
  }
  bench::ScratchBoard board;
};

}  // namespace

TEST_F(Rtcpeek, PrintsGreetingHandleAndDate) {
  board->setRtcRegisters({0x45, 0x59, 0x13, 0x07, 0x31, 0x12, 0x24});
  auto r = peek({"ignored", "-x"});
  const std::string h = handle();
  ASSERT_NE(h, "no setup");
  EXPECT_EQ(r.out, "Hello world!\n" + h + "\n31/12/2024 13:59\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(Rtcpeek, ReadsRegistersZeroToSixOnceAndWritesNothing) {
  board->setRtcRegisters({0x45, 0x59, 0x13, 0x07, 0x31, 0x12, 0x24});
  peek();
  std::vector<std::string> ops;
  for (const auto& e : board->trace())
    ops.push_back(e.op + " " + std::to_string(e.args[0]));
  EXPECT_EQ(ops, (std::vector<std::string>{"gpio-setup 0", "i2c-setup 104", "i2c-read 0", "i2c-read 1", "i2c-read 2", "i2c-read 3",
                                           "i2c-read 4", "i2c-read 5", "i2c-read 6", "i2c-read 0"}))
      << "the seconds again, at the end";
}

TEST_F(Rtcpeek, TakesOnlyBitFourAsTheHoursTens) {
  // Unlike the library's reading (clockprobe below), bit 5 is dropped.
  EXPECT_EQ(dateLine({0x00, 0x00, 0x20, 0x01, 0x01, 0x01, 0x26}), "01/01/2026 00:00\n");
  EXPECT_EQ(dateLine({0x00, 0x00, 0x23, 0x01, 0x01, 0x01, 0x26}), "01/01/2026 03:00\n");
  EXPECT_EQ(dateLine({0x00, 0x00, 0x19, 0x01, 0x01, 0x01, 0x26}), "01/01/2026 19:00\n");
  EXPECT_EQ(dateLine({0x00, 0x00, 0x72, 0x01, 0x01, 0x01, 0x26}), "01/01/2026 12:00\n");  // 12-hour mode, PM bit
  auto r = run({"clockprobe"});
  EXPECT_EQ(r.out, "RTC Date:  NO RTC time invalid!\n");  // the library takes bits 4 and 5: hour 32
  board->setRtcRegisters({0x00, 0x00, 0x23, 0x01, 0x01, 0x01, 0x26});
  r = run({"clockprobe"});
  EXPECT_EQ(r.out, "RTC Date:  01/01/2026 23:00\n");
}

TEST_F(Rtcpeek, DecodesEachFieldWithItsOwnMask) {
  EXPECT_EQ(dateLine({0xC5, 0xD9, 0x09, 0x0F, 0xC7, 0x92, 0x00}), "07/12/2000 09:59\n");
  EXPECT_EQ(dateLine({0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x99}), "01/01/2099 00:00\n");
  EXPECT_EQ(dateLine({0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00}), "01/01/2000 00:00\n");  // a reset clock
}

// What the registers hold, as its own decoding reads them, also where it is no date (the
// clock tools refuse those): digits above 9, a day past its month, month 13, minute 60.
TEST_F(Rtcpeek, ShowsTheRegistersAlsoWhenTheyHoldNoDate) {
  struct Case {
    std::vector<std::uint8_t> regs;
    std::string line;
  };
  for (const Case& c : {Case{{0x00, 0x30, 0x06, 0x01, 0x14, 0x12, 0xFF}, "14/12/2165 06:30\n"},
                        Case{{0x00, 0x07, 0x01, 0x01, 0x3F, 0x1F, 0xFF}, "45/25/2165 01:07\n"},
                        Case{{0x00, 0x0A, 0x01, 0x01, 0x01, 0x01, 0x26}, "01/01/2026 01:10\n"},
                        Case{{0x00, 0x00, 0x01, 0x01, 0x31, 0x06, 0x26}, "31/06/2026 01:00\n"},
                        Case{{0x00, 0x00, 0x01, 0x01, 0x01, 0x13, 0x26}, "01/13/2026 01:00\n"},
                        Case{{0x00, 0x60, 0x01, 0x01, 0x01, 0x01, 0x26}, "01/01/2026 01:60\n"}}) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(dateLine(c.regs), c.line);
  }
}

TEST_F(Rtcpeek, HelpAndAResultThatCannotBeWritten) {
  for (const char* word : {"-h", "--help"}) {
    auto r = peek({word});
    EXPECT_EQ(r.out, "Probe the RTC: its I2C handle and its date, read register by register\nformat : rtcpeek [-h]\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(board->trace().empty());
  }
  auto r = run({"sh", "-c", "rtcpeek >/dev/full"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "rtcpeek: cannot write standard output: No space left on device\n");
}

TEST_F(Rtcpeek, NoClockShowsTheHandleAndFails) {
  board->setRtcBus(simboard::RtcBus::kNoBus);
  auto r = peek();
  EXPECT_EQ(r.out, "Hello world!\n-1\n00/00/   0 00:00\n");
  EXPECT_EQ(r.status, 255);
  for (const auto& e : board->trace()) EXPECT_NE(e.op, "i2c-read");
}

// Reads of registers 0 to 6 that fail from the (n+1)th on, n = 0 to 7, and all succeeding: the
// three lines are kept, the fields that could not be read left at 0, and the status is 255.
TEST_F(Rtcpeek, AFailedReadLeavesItsFieldAndFails) {
  board->setRtcTime(2026, 12, 7, 9, 5, 41);
  for (int n = 0; n <= 8; ++n) {
    SCOPED_TRACE("reads that succeed: " + std::to_string(n));
    board->setRtcFailAfter(n);
    auto r = peek();
    campaign::expectSound(r);
    char line[64];
    std::snprintf(line, sizeof line, "%2.2d/%2.2d/%4d %2.2d:%2.2d\n", n > 4 ? 7 : 0, n > 5 ? 12 : 0, n > 6 ? 2026 : 0,
                  n > 2 ? 9 : 0, n > 1 ? 5 : 0);
    EXPECT_EQ(r.out, "Hello world!\n" + handle() + "\n" + line);
    EXPECT_GE(std::stoi(handle()), 0);
    EXPECT_EQ(campaign::transfers(*board, "i2c-read").succeeded, n);
    EXPECT_EQ(r.status, n == 8 ? 0 : 255);
  }
}
