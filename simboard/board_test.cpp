#include "board.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "bench.h"

namespace fs = std::filesystem;
using simboard::Registers;

namespace {

using bench::slurp;

Registers regs(std::initializer_list<std::uint8_t> first) {
  Registers r{};
  std::copy(first.begin(), first.end(), r.begin());
  return r;
}

std::vector<std::uint8_t> clockPart(const Registers& r) { return {r.begin(), r.begin() + 7}; }

}  // namespace

TEST(Clock, CarriesAcrossMinuteHourDayMonthAndYear) {
  Registers r = regs({0x59, 0x59, 0x23, 0x07, 0x31, 0x12, 0x99});
  ASSERT_TRUE(simboard::advanceClock(r, 1));
  // The weekday register counts on, wrapping 7 -> 1.
  EXPECT_EQ(clockPart(r), (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x01, 0x01, 0x81, 0x00}));

  r = regs({0x30, 0x15, 0x10, 0x02, 0x28, 0x02, 0x24});  // 2024 is a leap year
  ASSERT_TRUE(simboard::advanceClock(r, 86400));
  EXPECT_EQ(clockPart(r), (std::vector<std::uint8_t>{0x30, 0x15, 0x10, 0x03, 0x29, 0x02, 0x24}));
  ASSERT_TRUE(simboard::advanceClock(r, 86400));
  EXPECT_EQ(r[4], 0x01);
  EXPECT_EQ(r[5], 0x03);

  r = regs({0x00, 0x00, 0x00, 0x01, 0x28, 0x02, 0x25});  // 2025 is not
  ASSERT_TRUE(simboard::advanceClock(r, 86400));
  EXPECT_EQ(r[4], 0x01);
  EXPECT_EQ(r[5], 0x03);

  r = regs({0x41, 0x05, 0x09, 0x01, 0x30, 0x04, 0x26});  // 30 April ends its month
  ASSERT_TRUE(simboard::advanceClock(r, 15 * 3600));
  EXPECT_EQ(clockPart(r), (std::vector<std::uint8_t>{0x41, 0x05, 0x00, 0x02, 0x01, 0x05, 0x26}));
}

TEST(Clock, TwelveHourModeKeepsItsFormat) {
  // 11:59:59 PM in 12-hour mode (bit 6 set, bit 5 PM) becomes 12:00:00 AM.
  Registers r = regs({0x59, 0x59, 0x40 | 0x20 | 0x11, 0x03, 0x10, 0x06, 0x26});
  ASSERT_TRUE(simboard::advanceClock(r, 1));
  EXPECT_EQ(r[2], 0x40 | 0x12);
  EXPECT_EQ(r[4], 0x11);
  // 11:59:59 AM becomes 12:00:00 PM.
  r = regs({0x59, 0x59, 0x40 | 0x11, 0x03, 0x10, 0x06, 0x26});
  ASSERT_TRUE(simboard::advanceClock(r, 1));
  EXPECT_EQ(r[2], 0x40 | 0x20 | 0x12);
}

TEST(Clock, InvalidContentsDoNotTick) {
  Registers r = regs({0x3F, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00});
  const Registers before = r;
  EXPECT_FALSE(simboard::advanceClock(r, 10));
  EXPECT_EQ(r, before);
  r = regs({0x00, 0x00, 0x00, 0x01, 0x31, 0x02, 0x24});  // 31 February
  EXPECT_FALSE(simboard::advanceClock(r, 10));
}

// Registers 0-6 at `clock`, registers 11-13 holding `alarm`; the flag of alarm 2 after `seconds`.
bool fires(std::initializer_list<std::uint8_t> clock, std::array<std::uint8_t, 3> alarm, std::int64_t seconds) {
  Registers r = regs(clock);
  std::copy(alarm.begin(), alarm.end(), r.begin() + 11);
  r[15] = 0x08;  // another bit of the status register, which the alarm leaves
  EXPECT_TRUE(simboard::advanceClock(r, seconds));
  EXPECT_EQ(r[15] & ~0x02, 0x08);
  return r[15] & 0x02;
}

TEST(Alarm2, FiresAtTheStartOfAMatchingMinute) {
  // Sunday (1) 14 June 2026, 07:29:59.
  const std::initializer_list<std::uint8_t> sunday = {0x59, 0x29, 0x07, 0x01, 0x14, 0x06, 0x26};
  EXPECT_TRUE(fires(sunday, {0x30, 0x07, 0x80}, 1)) << "every day at 07:30";
  EXPECT_FALSE(fires({0x00, 0x30, 0x07, 0x01, 0x14, 0x06, 0x26}, {0x30, 0x07, 0x80}, 59))
      << "a minute that had started before is not a match";
  EXPECT_FALSE(fires(sunday, {0x31, 0x07, 0x80}, 1));
  EXPECT_TRUE(fires(sunday, {0x30, 0x80, 0x80}, 1)) << "every hour at minute 30";
  EXPECT_TRUE(fires(sunday, {0x80, 0x80, 0x80}, 1)) << "every minute";
  EXPECT_TRUE(fires(sunday, {0x80, 0x07, 0x80}, 1)) << "every minute of 07 h";
  EXPECT_FALSE(fires(sunday, {0x80, 0x08, 0x80}, 1));
  EXPECT_TRUE(fires(sunday, {0x30, 0x40 | 0x07, 0x80}, 1)) << "07 AM in 12-hour form";
  EXPECT_FALSE(fires(sunday, {0x30, 0x40 | 0x20 | 0x07, 0x80}, 1)) << "07 PM";

  EXPECT_TRUE(fires(sunday, {0x30, 0x07, 0x41}, 1)) << "every Sunday";
  EXPECT_FALSE(fires(sunday, {0x30, 0x07, 0x42}, 1)) << "every Monday, a day too early";
  EXPECT_TRUE(fires(sunday, {0x30, 0x07, 0x42}, 86401)) << "every Monday, a day later";
  EXPECT_TRUE(fires(sunday, {0x30, 0x07, 0x14}, 1)) << "on day 14";
  EXPECT_FALSE(fires(sunday, {0x30, 0x07, 0x15}, 1));
  EXPECT_TRUE(fires(sunday, {0x30, 0x07, 0x15}, 86401)) << "on day 15";
  EXPECT_TRUE(fires(sunday, {0x30, 0x07, 0x31}, 60LL * 86400)) << "the next 31st, in July";
}

TEST(Alarm2, TheNoWakeUpMarkAndARaisedFlag) {
  const std::initializer_list<std::uint8_t> clock = {0x59, 0x59, 0x23, 0x01, 0x31, 0x12, 0x26};
  EXPECT_FALSE(fires(clock, {0x00, 0x00, 0x00}, 400LL * 86400)) << "day 0 never comes";
  // A raised flag stays raised whatever the clock does, until it is written 0.
  Registers r = regs(clock);
  r[11] = r[12] = r[13] = 0;
  r[15] = 0x02;
  ASSERT_TRUE(simboard::advanceClock(r, 3600));
  EXPECT_EQ(r[15], 0x02);
}

TEST(Alarm2, TheFlagsOfTheStatusRegisterAreClearedByWritingZero) {
  bench::ScratchBoard board;
  board->setRtcHold(true);
  board->setRtcRegisters({0x82}, 15);
  const int fd = board->i2cSetup(104);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(board->i2cWrite(fd, 15, 0xFF), 0);
  EXPECT_EQ(board->rtcRegisters()[15], 0xFE) << "a 1 sets no flag";
  EXPECT_EQ(board->i2cWrite(fd, 15, 0x80), 0);
  EXPECT_EQ(board->rtcRegisters()[15], 0x80) << "alarm 2's flag cleared, the oscillator's kept";
  EXPECT_EQ(board->i2cWrite(fd, 15, 0x00), 0);
  EXPECT_EQ(board->rtcRegisters()[15], 0x00);
}

TEST(Alarm2, TheTickingClockRaisesTheFlag) {
  bench::ScratchBoard board;
  board->setRtcHold(true);
  board->setRtcRegisters({0x30, 0x07, 0x80}, 11);
  board->setRtcRegisters({0x59, 0x29, 0x07, 0x01, 0x14, 0x06, 0x26});
  board->setRtcHold(false);
  EXPECT_EQ(board->rtcRegisters()[15] & 0x02, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(board->rtcRegisters()[15] & 0x02, 0x02);
}

TEST(Board, ClockTicksFromTheLastWriteAndHolds) {
  bench::ScratchBoard board;
  board->setRtcTime(2026, 12, 7, 9, 5, 41);
  auto r = board->rtcRegisters();
  EXPECT_EQ(clockPart(r), (std::vector<std::uint8_t>{0x41, 0x05, 0x09, 0x02, 0x07, 0x12, 0x26}));  // a Monday: 2
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  r = board->rtcRegisters();
  EXPECT_TRUE(r[0] == 0x42 || r[0] == 0x43) << std::hex << int(r[0]);

  board->setRtcHold(true);
  board->setRtcRegisters({0x00, 0x30, 0x12});
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  r = board->rtcRegisters();
  EXPECT_EQ(r[0], 0x00);
  EXPECT_EQ(r[1], 0x30);
  EXPECT_EQ(r[4], 0x07);  // registers not written keep their values
}

TEST(Board, TransfersTracedWithFaultsOnDemand) {
  bench::ScratchBoard board;
  board->setRtcHold(true);
  board->setRtcRegisters({0x45, 0x59, 0x23});
  const int fd = board->i2cSetup(104);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(board->i2cRead(fd, 0), 0x45);
  EXPECT_EQ(board->i2cWrite(fd, 14, 0x18), 0);
  EXPECT_EQ(board->rtcRegisters()[14], 0x18);
  EXPECT_EQ(board->i2cRead(fd, 19), -1);  // past the register file

  board->setRtcFailAfter(1);
  EXPECT_EQ(board->i2cRead(fd, 1), 0x59);
  EXPECT_EQ(board->i2cRead(fd, 2), -1);
  EXPECT_EQ(board->i2cWrite(fd, 11, 0), -1);
  board->setRtcFailAfter(-1);
  EXPECT_EQ(board->i2cRead(fd, 2), 0x23);

  const int other = board->i2cSetup(0x50);  // no chip answers there
  EXPECT_EQ(board->i2cRead(other, 0), -1);

  board->setRtcBus(simboard::RtcBus::kNoBus);
  EXPECT_EQ(board->i2cSetup(104), -1);
  EXPECT_EQ(board->i2cRead(fd, 0), -1);

  const auto t = board->trace();
  ASSERT_GE(t.size(), 9u);
  EXPECT_EQ(t[0].op, "i2c-setup");
  EXPECT_EQ(t[0].args, (std::vector<int>{104, fd}));
  EXPECT_EQ(t[1].op, "i2c-read");
  EXPECT_EQ(t[1].args, (std::vector<int>{0, 0x45}));
  EXPECT_EQ(t[2].op, "i2c-write");
  EXPECT_EQ(t[2].args, (std::vector<int>{14, 0x18, 0}));
  EXPECT_EQ(t[0].pid, getpid());
  for (std::size_t i = 1; i < t.size(); ++i) EXPECT_LE(t[i - 1].us, t[i].us);
  ::close(fd);
  ::close(other);
}

// Each fault of the bus fails the step, with the errno, that the kernel's i2c-dev gives on a Pi.
TEST(Board, BusFaultsFailTheStepTheKernelFails) {
  using simboard::RtcBus;
  bench::ScratchBoard board;
  struct Case {
    RtcBus bus;
    int openError, selectError, readError;
  };
  for (const Case& c : {Case{RtcBus::kOk, 0, 0, 0}, Case{RtcBus::kNoBus, ENOENT, 0, 0},
                        Case{RtcBus::kDenied, EACCES, 0, 0}, Case{RtcBus::kBusy, 0, EBUSY, 0},
                        Case{RtcBus::kNoChip, 0, 0, ENXIO}}) {
    SCOPED_TRACE(simboard::busName(c.bus));
    EXPECT_EQ(simboard::busFromName(simboard::busName(c.bus)), c.bus);
    board->setRtcBus(c.bus);
    // Another program sees the fault: it is kept with the board's state.
    EXPECT_NE(slurp(board->dir() / "state").find(std::string("rtc.bus ") + simboard::busName(c.bus) + "\n"),
              std::string::npos);
    errno = 0;
    const int fd = board->i2cOpen();
    EXPECT_EQ(fd < 0, c.openError != 0);
    EXPECT_EQ(errno, c.openError);
    if (fd < 0) continue;
    errno = 0;
    EXPECT_EQ(board->i2cSelect(fd, simboard::kRtcAddress), c.selectError ? -1 : 0);
    EXPECT_EQ(errno, c.selectError);
    if (!c.selectError) {
      errno = 0;
      EXPECT_EQ(board->i2cRead(fd, 0) < 0, c.readError != 0);
      EXPECT_EQ(errno, c.readError);
    }
    ::close(fd);
  }
  EXPECT_FALSE(simboard::busFromName("absent"));
  board->setRtcBus(RtcBus::kOk);
  board->setRtcFailAfter(0);
  const int fd = board->i2cSetup(simboard::kRtcAddress);
  errno = 0;
  EXPECT_EQ(board->i2cWrite(fd, 14, 0), -1);
  EXPECT_EQ(errno, EIO) << "a transfer that fails on a bus that works";
  ::close(fd);
}

TEST(Board, GpioThatDoesNotOpen) {
  bench::ScratchBoard board;
  EXPECT_EQ(board->gpioSetup(), 0);
  board->setGpioDenied(true);
  errno = 0;
  EXPECT_EQ(board->gpioSetup(), -1);
  EXPECT_EQ(errno, EACCES);
  board->setGpioDenied(false);
  EXPECT_EQ(board->gpioSetup(), 0);
  EXPECT_EQ(simboard::describe(board->trace()), (std::vector<std::string>{"gpio-setup 0", "gpio-setup -1", "gpio-setup 0"}));
}

TEST(Board, PinsFollowPullsOutputsAndSchedules) {
  bench::ScratchBoard board;
  EXPECT_EQ(board->gpioRead(24), 0);
  board->gpioPull(24, 2);
  EXPECT_EQ(board->gpioRead(24), 1);  // pull-up, nothing driving
  board->gpioPull(24, 1);
  EXPECT_EQ(board->gpioRead(24), 0);
  board->gpioMode(23, 1);
  board->gpioWrite(23, 1);
  EXPECT_EQ(board->gpioRead(23), 1);
  EXPECT_EQ(board->pin(23).mode, 1);
  EXPECT_EQ(board->pin(23).level, 1);

  board->setSchedule(24, {{0, 0}, {150, 1}, {300, 0}});
  EXPECT_EQ(board->gpioRead(24), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(board->gpioRead(24), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(board->gpioRead(24), 0);
  board->setInput(24, 1);
  EXPECT_EQ(board->gpioRead(24), 1);
  board->clearInput(24);
  EXPECT_EQ(board->gpioRead(24), 0);
}

TEST(Board, StaysConsistentUnderConcurrentWriters) {
  bench::ScratchBoard board;
  constexpr int kChildren = 4, kWrites = 50;
  for (int c = 0; c < kChildren; ++c) {
    if (fork() == 0) {
      auto b = simboard::Board::open(board->dir());
      for (int i = 0; i < kWrites; ++i) b->gpioWrite(c, i & 1);
      _exit(0);
    }
  }
  for (int c = 0; c < kChildren; ++c) wait(nullptr);
  EXPECT_EQ(board->trace().size(), static_cast<std::size_t>(kChildren * kWrites));
  for (int c = 0; c < kChildren; ++c) EXPECT_EQ(board->pin(c).level, (kWrites - 1) & 1);
}

// A state file changed by hand may hold anything; the board must still answer at once: with
// an error naming the line it cannot read, or, for times no board wrote, with the count
// restarted from now.
TEST(Board, ADamagedStateFileNeitherHangsNorOverflows) {
  bench::ScratchBoard board;
  board->setRtcTime(2026, 12, 7, 9, 5, 41);
  const auto before = board->rtcRegisters();
  const fs::path state = board->dir() / "state";
  const std::string good = slurp(state);
  auto damage = [&](const std::string& text) { std::ofstream(state, std::ios::trunc) << text; };

  for (const std::string line : {"input 24 0 -1", "input 24 0 23333333 0 1", "input 24 0 2 0 1", "pin 3 1 x 0",
                                 "rtc.present 2", "rtc.bus nowhere", "rtc.regs 00 01", "clock 1"}) {
    SCOPED_TRACE(line);
    damage(good + line + "\n");
    const auto start = std::chrono::steady_clock::now();
    try {
      board->gpioRead(24);
      ADD_FAILURE() << "read as a state";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), state.string() + ": damaged board state: line " +
                                           std::to_string(std::count(good.begin(), good.end(), '\n') + 1) +
                                           " cannot be read: \"" + line + "\"");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(slurp(state), good + line + "\n") << "a refused state is left as it is";
  }
  for (const std::string& cut : {std::string(), good.substr(0, good.find("rtc.regs"))}) {
    damage(cut);
    EXPECT_THROW(board->rtcRegisters(), std::runtime_error) << "cut to " << cut.size() << " bytes";
  }

  for (const std::string line :
       {"rtc.base -9223372036854775807", "rtc.base 9223372036854775807", "input 24 -9223372036854775807 1 0 1",
        "input 24 9223372036854775807 1 0 1"}) {
    SCOPED_TRACE(line);
    damage(good + line + "\n");
    const auto start = std::chrono::steady_clock::now();
    const int level = board->gpioRead(24);
    const auto r = board->rtcRegisters();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_TRUE(level == 0 || level == 1);
    // A base that cannot be right restarts the count from now: the date stays.
    EXPECT_EQ(std::vector<std::uint8_t>(r.begin() + 1, r.begin() + 7),
              std::vector<std::uint8_t>(before.begin() + 1, before.begin() + 7));
  }
}
