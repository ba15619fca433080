#include <gtest/gtest.h>

#include <fstream>

#include "bench.h"

namespace {

using Commands = std::vector<std::vector<std::string>>;

const std::vector<std::string> kShowNew = {"date", "+New system date %d/%m/%Y %H:%M"};

class Clocksync : public ::testing::Test {
 protected:
  void SetUp() override { board->setRtcHold(true); }

  // A fixed zone and locale, so what date prints about the date it set is known.
  bench::RunResult sync(std::vector<std::string> args = {}) {
    args.insert(args.begin(), "clocksync");
    bench::RunOptions runOptions;
    runOptions.argv = args;
    runOptions.env = {"TZ=UTC", "LC_ALL=C"};
    return bench::run(*board, runOptions);
  }
  Commands setClock(const std::string& date) {
    return {{"sudo", "date", "-s", date}, {"date", "-s", date}, kShowNew};
  }
  bench::ScratchBoard board;
};

}  // namespace

TEST_F(Clocksync, CopiesTheClockMonthBeforeDayWithoutSeconds) {
  board->setRtcTime(2026, 12, 7, 9, 5, 41);
  auto r = sync();
  EXPECT_EQ(r.out,
            "RTC date : 07/12/2026 09:05:00\n"
            "Mon Dec  7 09:05:00 UTC 2026\n"
            "New system date 07/12/2026 09:05\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(board->commands(), setClock("12/07/2026 09:05:00"));
}

TEST_F(Clocksync, DayAboveTwelveAndArgumentsIgnored) {
  board->setRtcTime(2026, 12, 25, 18, 30, 59);
  auto r = sync({"-x", "--now", "2020-01-01"});
  EXPECT_EQ(r.out,
            "RTC date : 25/12/2026 18:30:00\n"
            "Fri Dec 25 18:30:00 UTC 2026\n"
            "New system date 25/12/2026 18:30\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(board->commands(), setClock("12/25/2026 18:30:00"));
}

TEST_F(Clocksync, PadsSingleDigitsAndNeverWritesTheClock) {
  board->setRtcRegisters({0x07, 0x01, 0x00, 0x06, 0x01, 0x01, 0x00});
  board->clearTrace();
  auto r = sync();
  EXPECT_EQ(r.out.substr(0, 31), "RTC date : 01/01/2000 00:01:00\n");
  EXPECT_EQ(board->commands(), setClock("01/01/2000 00:01:00"));
  for (const auto& e : board->trace()) EXPECT_NE(e.op, "i2c-write");
  EXPECT_EQ(board->rtcRegisters()[0], 0x07);
}

// Reads that fail from the (n+1)th on, n = 0 to 7, and all eight succeeding: a read that does
// not fully succeed is reported and starts no clock command, so the system clock is never set
// from it; the clock is never written.
TEST_F(Clocksync, AReadFailingPartWaySetsNothing) {
  board->setRtcTime(2026, 12, 7, 9, 5, 41);
  for (int n = 0; n <= 8; ++n) {
    SCOPED_TRACE("reads that succeed: " + std::to_string(n));
    board->clearTrace();
    std::filesystem::remove(board->commandLog());
    board->setRtcFailAfter(n);
    auto r = sync();
    board->setRtcFailAfter(-1);
    campaign::expectSound(r);
    if (n == 8) {
      EXPECT_TRUE(r.out.starts_with("RTC date : 07/12/2026 09:05:00\n")) << r.out;
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(board->commands().at(0), (std::vector<std::string>{"sudo", "date", "-s", "12/07/2026 09:05:00"}));
    } else {
      EXPECT_EQ(r.out, "NO RTC read failed!\n");
      EXPECT_EQ(r.status, 255);
      EXPECT_TRUE(board->commands().empty()) << "a clock command ran after a failed read";
    }
    EXPECT_EQ(campaign::transfers(*board, "i2c-write").tried, 0) << "clocksync never writes the clock";
  }
}

// A time that cannot exist is never handed to date: not month 13, which date would refuse, nor
// 31 April, which date would take as 1 May.
TEST_F(Clocksync, ATimeThatCannotExistSetsNothing) {
  for (const std::vector<std::uint8_t>& regs : {std::vector<std::uint8_t>{0x00, 0x45, 0x10, 0x01, 0x07, 0x13, 0x26},
                                                {0x00, 0x45, 0x10, 0x01, 0x31, 0x04, 0x26},
                                                {0x00, 0x4A, 0x10, 0x01, 0x07, 0x12, 0x26}}) {
    board->setRtcRegisters(regs);
    auto r = sync();
    EXPECT_EQ(r.out, "NO RTC time invalid!\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(board->commands().empty());
  }
  // A clock that was merely reset is a time like any other.
  board->setRtcRegisters({0x00, 0x00, 0x00, 0x07, 0x01, 0x01, 0x00});
  EXPECT_EQ(sync().out.substr(0, 31), "RTC date : 01/01/2000 00:00:00\n");
}

TEST_F(Clocksync, HelpSetsNothing) {
  board->setRtcTime(2026, 12, 7, 9, 5, 41);
  board->clearTrace();
  for (const char* word : {"-h", "--help"}) {
    auto r = sync({word});
    EXPECT_EQ(r.out,
              "Copy the RTC date and time into the system clock (sudo date -s)\n"
              "format : clocksync [-h]\n"
              "        the RTC holds local time; clockset writes it\n");
    EXPECT_EQ(r.status, 0);
  }
  EXPECT_TRUE(board->trace().empty());
  EXPECT_TRUE(board->commands().empty());
}

TEST_F(Clocksync, ASudoThatRefusesStillShowsTheSystemDate) {
  board->setRtcTime(2026, 12, 7, 9, 5, 41);
  ASSERT_EQ(sync().status, 0);
  std::filesystem::remove(board->commandLog());

  bench::TempDir standIns;
  const auto sudo = standIns.path() / "sudo";
  std::ofstream(sudo) << "#!/bin/sh\necho 'sudo: a password is required' >&2\nexit 1\n";
  std::filesystem::permissions(sudo, std::filesystem::perms::owner_all);
  board->setRtcTime(2027, 3, 4, 5, 6, 7);
  // env sets PATH for clocksync only, so this sudo comes before the bench's.
  const std::string path = "PATH=" + standIns.path().string() + ":" + bench::standInDir().string() + ":" +
                           bench::toolDir().string() + ":/usr/bin:/bin";
  bench::RunOptions runOptions;
  runOptions.argv = {"env", path, "TZ=UTC", "LC_ALL=C", "clocksync"};
  auto r = bench::run(*board, runOptions);
  EXPECT_EQ(r.out,
            "RTC date : 04/03/2027 05:06:00\n"
            "New system date 07/12/2026 09:05\n");
  EXPECT_EQ(r.err, "sudo: a password is required\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(board->commands(), Commands{kShowNew});
}

// SIGCHLD ignored by the caller (some service managers and scripts leave it so) does not turn a
// good run into a failure.
TEST_F(Clocksync, SigchldIgnoredByTheCallerChangesNoResult) {
  board->setRtcTime(2026, 12, 7, 9, 5, 41);
  auto r = bench::run(*board, {.argv = {"env", "--ignore-signal=CHLD", "TZ=UTC", "LC_ALL=C", "clocksync"}});
  campaign::expectSound(r);
  EXPECT_EQ(r.out,
            "RTC date : 07/12/2026 09:05:00\n"
            "Mon Dec  7 09:05:00 UTC 2026\n"
            "New system date 07/12/2026 09:05\n");
  EXPECT_EQ(r.status, 0);
}
