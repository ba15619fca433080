// Runs on a scratch board (the bench mounts it where the tools look for it), so
// the library's register traffic can be read back from the board's trace.
#include "rtclib.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "board.h"

namespace {

simboard::Board board() { return *simboard::Board::open(simboard::kBoardPath); }

struct Transfer {
  std::string op;
  int reg;
  int value;
  bool operator==(const Transfer&) const = default;
};

std::vector<Transfer> transfers() {
  std::vector<Transfer> out;
  for (const auto& e : board().trace()) {
    if (e.op == "i2c-read") out.push_back({"r", e.args[0], e.args[1]});
    if (e.op == "i2c-write") out.push_back({"w", e.args[0], e.args[1]});
  }
  return out;
}

// The alarm record's fields as one comparable value.
auto fields(const AlarmRecord& a) { return std::tuple(a.nowakeup, a.dd, a.hh, a.min, a.wd); }

std::vector<Transfer> alarmWrites(int minute, int hour, int day) {
  return {{"w", 11, minute}, {"w", 12, hour}, {"w", 13, day}};
}

class Rtc : public ::testing::Test {
 protected:
  void SetUp() override {
    auto b = board();
    b.setRtcBus(simboard::RtcBus::kOk);
    b.setRtcFailAfter(-1);
    b.setRtcHold(true);
    iddev = -1;
    Date = {};
    Alarm = {};
    openRTC();
    b.clearTrace();
  }
};

}  // namespace

TEST(Bcd, FunctionsFollowTheRegisterFormats) {
  EXPECT_EQ(getBCDtoInt(0x59, 4), 9);
  EXPECT_EQ(getBCDtoInt(0x59, 7), 59);
  EXPECT_EQ(getBCDtoInt(0xAB, 8), 111);
  EXPECT_EQ(getBCDtoInt(0xFF, 0), 0);
  EXPECT_EQ(getBCDtoInt(0xFF, 9), 0);
  EXPECT_EQ(getBCDtoInt(0x3F, 6), 45);
  EXPECT_EQ(getBCDtoInt(0x0F, 3), 7);
  EXPECT_EQ(getInttoBCD(59), 0x59);
  EXPECT_EQ(getInttoBCD(123), 0xC3);
  EXPECT_EQ(getInttoBCD(-1), 0xFF);
  EXPECT_EQ(getInttoBCD(0), 0x00);
  EXPECT_EQ(getBit(0x80, 7), 1);
  EXPECT_EQ(getBit(0x7F, 7), 0);
  EXPECT_EQ(getBit(0xFF, 8), 0);
  EXPECT_EQ(getBit(0xFF, -1), 0);
  EXPECT_EQ(setBit(0x01, 9), 0x01);
  EXPECT_EQ(setBit(0x01, 7), 0x81);
  EXPECT_EQ(resetBit(0xFF, 0), 0xFE);
  EXPECT_EQ(resetBit(0xFF, 8), 0xFF);
}

TEST_F(Rtc, ReadDateDecodesSevenRegistersInOrder) {
  board().setRtcRegisters({0x45, 0x59, 0x23, 0x07, 0x31, 0x12, 0x99});
  ASSERT_GE(iddev, 0);
  EXPECT_TRUE(readDate());
  EXPECT_EQ(Date.Sec, 45);
  EXPECT_EQ(Date.Min, 59);
  EXPECT_EQ(Date.Hour, 23);
  EXPECT_EQ(Date.WeekDay, 7);
  EXPECT_EQ(Date.Day, 31);
  EXPECT_EQ(Date.Month, 12);
  EXPECT_EQ(Date.Year, 2099);
  // The seconds again at the end: they did not go back, so the read stands.
  EXPECT_EQ(transfers(), (std::vector<Transfer>{{"r", 0, 0x45}, {"r", 1, 0x59}, {"r", 2, 0x23}, {"r", 3, 0x07},
                                                {"r", 4, 0x31}, {"r", 5, 0x12}, {"r", 6, 0x99}, {"r", 0, 0x45}}));
}

// Reads taken over and over while the year rolls over: each is the old year's last second or
// the new year's first, never the new year with the old day and hour.
TEST_F(Rtc, AReadNeverTearsAcrossARollover) {
  board().setRtcHold(false);
  board().setRtcRegisters({0x59, 0x59, 0x23, 0x05, 0x31, 0x12, 0x26});
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  int before = 0, after = 0;
  while (std::chrono::steady_clock::now() < until) {
    ASSERT_TRUE(readDate());
    const auto d = std::tuple(Date.Year, Date.Month, Date.Day, Date.Hour, Date.Min, Date.WeekDay);
    if (d == std::tuple(2026, 12, 31, 23, 59, 5)) {
      ++before;
    } else {
      ASSERT_EQ(d, std::tuple(2027, 1, 1, 0, 0, 6)) << Date.Sec;
      ++after;
    }
  }
  EXPECT_GT(before, 0);
  EXPECT_GT(after, 0);
}

TEST_F(Rtc, ValidDateRefusesWhatNoClockHolds) {
  struct Case {
    std::vector<std::uint8_t> regs;
    bool valid;
  };
  for (const Case& c : std::vector<Case>{{{0x00, 0x00, 0x00, 0x07, 0x01, 0x01, 0x00}, true},  // a reset clock
                                         {{0x59, 0x59, 0x23, 0x00, 0x29, 0x02, 0x24}, true},  // a leap day
                                         {{0xC5, 0x59, 0x63, 0x0F, 0x31, 0x92, 0x99}, true},  // bits above the fields
                                         {{0x00, 0x00, 0x00, 0x01, 0x29, 0x02, 0x25}, false},
                                         {{0x00, 0x00, 0x00, 0x01, 0x31, 0x04, 0x26}, false},
                                         {{0x00, 0x00, 0x00, 0x01, 0x32, 0x01, 0x26}, false},
                                         {{0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x26}, false},
                                         {{0x00, 0x00, 0x00, 0x01, 0x01, 0x13, 0x26}, false},
                                         {{0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x26}, false},
                                         {{0x00, 0x00, 0x24, 0x01, 0x01, 0x01, 0x26}, false},
                                         {{0x00, 0x60, 0x00, 0x01, 0x01, 0x01, 0x26}, false},
                                         {{0x60, 0x00, 0x00, 0x01, 0x01, 0x01, 0x26}, false},
                                         {{0x00, 0x1A, 0x00, 0x01, 0x01, 0x01, 0x26}, false},  // reads as 20
                                         {{0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x2A}, false},
                                         {{0x00, 0x00, 0x00, 0x01, 0x0A, 0x01, 0x26}, false}}) {
    board().setRtcRegisters(c.regs);
    ASSERT_TRUE(readDate());
    EXPECT_EQ(validDate(), c.valid) << std::hex << int(c.regs[0]) << " " << int(c.regs[1]) << " " << int(c.regs[2])
                                    << " " << int(c.regs[4]) << " " << int(c.regs[5]) << " " << int(c.regs[6]);
  }
}

TEST_F(Rtc, BitsAboveEachFieldAreIgnored) {
  board().setRtcRegisters({0xC5, 0x59, 0x63, 0x0F, 0x31, 0x92, 0x00});
  EXPECT_TRUE(readDate());
  EXPECT_EQ(Date.Sec, 45);
  EXPECT_EQ(Date.Hour, 23);
  EXPECT_EQ(Date.WeekDay, 7);
  EXPECT_EQ(Date.Month, 12);
  EXPECT_EQ(Date.Year, 2000);
}

TEST_F(Rtc, WritesSetTheSecondsToZero) {
  Date = {37, 5, 14, 3, 9, 10, 2024};
  EXPECT_TRUE(writeTime());
  EXPECT_EQ(transfers(), (std::vector<Transfer>{{"w", 0, 0x00}, {"w", 1, 0x05}, {"w", 2, 0x14}}));
  board().clearTrace();
  EXPECT_TRUE(writeDate());
  EXPECT_EQ(transfers(), (std::vector<Transfer>{{"w", 0, 0x00}, {"w", 1, 0x05}, {"w", 2, 0x14}, {"w", 3, 0x03},
                                                {"w", 4, 0x09}, {"w", 5, 0x10}, {"w", 6, 0x24}}));
  EXPECT_EQ(board().rtcRegisters()[6], 0x24);
}

TEST_F(Rtc, YearIsWrittenWithinItsCentury) {
  for (auto [year, byte] : {std::pair{2024, 0x24}, {1999, 0x99}, {2100, 0x00}}) {
    Date.Year = year;
    board().clearTrace();
    EXPECT_TRUE(writeDate());
    EXPECT_EQ(transfers().back(), (Transfer{"w", 6, byte})) << year;
  }
}

TEST_F(Rtc, NothingHappensWhileTheClockIsNotOpen) {
  board().setRtcBus(simboard::RtcBus::kNoBus);
  openRTC();
  EXPECT_LT(iddev, 0);
  Date = {1, 2, 3, 4, 5, 6, 2007};
  const DateRecord before = Date;
  EXPECT_FALSE(readTime());
  EXPECT_FALSE(readDate());
  EXPECT_FALSE(writeTime());
  EXPECT_FALSE(writeDate());
  EXPECT_EQ(std::memcmp(&Date, &before, sizeof Date), 0);
  EXPECT_TRUE(transfers().empty());
}

TEST_F(Rtc, AFailedReadLeavesItsFieldAndIsReported) {
  board().setRtcRegisters({0x10, 0x20, 0x08, 0x02, 0x15, 0x06, 0x26});
  Date = {-1, -1, -1, -1, -1, -1, -1};
  board().setRtcFailAfter(4);  // registers 0-3 answer, 4-6 fail
  EXPECT_FALSE(readDate());
  EXPECT_EQ(Date.Sec, 10);
  EXPECT_EQ(Date.WeekDay, 2);
  EXPECT_EQ(Date.Day, -1);
  EXPECT_EQ(Date.Month, -1);
  EXPECT_EQ(Date.Year, -1);
  EXPECT_EQ(transfers().size(), 7u);  // every register is still asked for, in order

  board().setRtcFailAfter(0);
  EXPECT_FALSE(writeTime());
  board().setRtcFailAfter(-1);
  EXPECT_TRUE(readDate());
  EXPECT_EQ(Date.Year, 2026);
}

// Through wiringPi's setup in its return-code mode: a bus that cannot be opened leaves the
// clock closed and the program running, and the switch is not left for programs it starts.
TEST_F(Rtc, OpenNeverEndsTheProgramAndLeavesNoSwitchBehind) {
  EXPECT_EQ(std::getenv("WIRINGPI_CODES"), nullptr);
  for (auto bus : {simboard::RtcBus::kNoBus, simboard::RtcBus::kDenied, simboard::RtcBus::kBusy}) {
    board().setRtcBus(bus);
    iddev = 0;
    openRTC();
    EXPECT_EQ(iddev, -1) << simboard::busName(bus);
  }
  board().setRtcBus(simboard::RtcBus::kNoChip);
  openRTC();
  EXPECT_GE(iddev, 0);
  EXPECT_FALSE(readDate());
  board().setRtcBus(simboard::RtcBus::kOk);
  EXPECT_TRUE(readDate());
  EXPECT_TRUE(board().trace("gpio").empty()) << "wiringPi's setup is done once, in the first openRTC";
}

TEST_F(Rtc, WriteAlarmFoldsTheRecordAndWritesThreeRegisters) {
  const std::vector<std::pair<AlarmRecord, std::vector<int>>> cases = {
      // {nowakeup, dd, hh, min, wd} -> bytes for 11, 12, 13, then dd, hh, min after the call
      {{true, 0, 7, 30, false}, {0x30, 0x07, 0x80, 0, 7, 30}},
      {{true, 3, 6, 15, true}, {0x15, 0x06, 0x43, 3, 6, 15}},
      {{true, 25, -1, 0, false}, {0x00, 0x80, 0x25, 25, -1, 0}},
      {{true, 32, 5, 5, false}, {0x05, 0x05, 0x01, 1, 5, 5}},
      {{true, 8, 5, 5, true}, {0x05, 0x05, 0x41, 1, 5, 5}},
      {{true, 16, 5, 5, true}, {0x05, 0x05, 0x41, 1, 5, 5}},
      {{true, 7, 5, 5, true}, {0x05, 0x05, 0x47, 7, 5, 5}},
      {{true, 45, 5, 5, false}, {0x05, 0x05, 0x13, 13, 5, 5}},
      {{true, 31, 23, 59, false}, {0x59, 0x23, 0x31, 31, 23, 59}},
      {{true, -4, 24, 60, false}, {0x00, 0x00, 0x80, -4, 0, 0}},
      {{true, 0, -9, -1, true}, {0x01, 0x80, 0x80, 0, -9, 1}},
      {{true, 0, 49, -75, false}, {0x15, 0x01, 0x80, 0, 1, 15}},
      {{true, 0, 0, 125, false}, {0x05, 0x00, 0x80, 0, 0, 5}},
  };
  for (const auto& [in, want] : cases) {
    Alarm = in;
    board().clearTrace();
    EXPECT_TRUE(writeAlarm());
    const std::string what = "dd " + std::to_string(in.dd) + " hh " + std::to_string(in.hh) + " min " +
                             std::to_string(in.min) + (in.wd ? " wd" : "");
    EXPECT_EQ(transfers(), alarmWrites(want[0], want[1], want[2])) << what;
    EXPECT_EQ(fields(Alarm), fields({false, want[3], want[4], want[5], in.wd})) << what;
    const auto regs = board().rtcRegisters();
    EXPECT_EQ((std::vector<int>{regs[11], regs[12], regs[13]}), (std::vector<int>{want[0], want[1], want[2]})) << what;
  }
}

TEST_F(Rtc, ReadAlarmDecodesEachRegister) {
  struct Case {
    std::vector<std::uint8_t> regs;
    int min, hh, dd;
    bool wd;
  };
  for (const Case& c : std::vector<Case>{{{0x30, 0x07, 0x80}, 30, 7, -1, false},
                                         {{0x15, 0x06, 0x43}, 15, 6, 3, true},
                                         {{0x45, 0x23, 0x31}, 45, 23, 31, false},
                                         {{0x80, 0x80, 0x80}, -1, -1, -1, false},
                                         {{0x00, 0x00, 0xC0}, 0, 0, -1, true},
                                         {{0x7F, 0x3F, 0x3F}, 85, 45, 45, false}}) {
    board().setRtcRegisters(c.regs, 11);
    board().clearTrace();
    for (bool nowakeup : {true, false}) {
      Alarm = {nowakeup, 99, 99, 99, !c.wd};
      EXPECT_TRUE(readAlarm());
      // A set alarm never clears the mark: readAlarm only ever claims no wake-up.
      EXPECT_EQ(fields(Alarm), fields({nowakeup, c.dd, c.hh, c.min, c.wd})) << int(c.regs[0]);
    }
    EXPECT_EQ(transfers(), (std::vector<Transfer>{{"r", 11, c.regs[0]}, {"r", 12, c.regs[1]}, {"r", 13, c.regs[2]},
                                                  {"r", 11, c.regs[0]}, {"r", 12, c.regs[1]}, {"r", 13, c.regs[2]}}));
  }
}

TEST_F(Rtc, ValidAlarmRefusesWhatReadAlarmCannotRead) {
  for (const auto& [regs, valid] : std::vector<std::pair<std::vector<std::uint8_t>, bool>>{
           {{0x00, 0x00, 0x00}, true},  // no wake-up
           {{0x30, 0x07, 0x80}, true},
           {{0x15, 0x06, 0x47}, true},
           {{0x59, 0x23, 0x31}, true},
           {{0x80, 0x80, 0x80}, true},
           {{0x00, 0x00, 0x01}, true},
           {{0x60, 0x80, 0x80}, false},
           {{0x1A, 0x80, 0x80}, false},
           {{0x30, 0x24, 0x80}, false},
           {{0x30, 0x47, 0x80}, false},  // the chip's 12-hour form
           {{0x30, 0x07, 0x40}, false},  // week day 0
           {{0x30, 0x07, 0x48}, false},
           {{0x30, 0x07, 0x32}, false},
           {{0x30, 0x07, 0x0A}, false}}) {
    board().setRtcRegisters(regs, 11);
    ASSERT_TRUE(readAlarm());
    EXPECT_EQ(validAlarm(), valid) << std::hex << int(regs[0]) << " " << int(regs[1]) << " " << int(regs[2]);
  }
}

TEST_F(Rtc, WritingBackAnyMinuteSetsMinuteOne) {
  board().setRtcRegisters({0x80, 0x80, 0x80}, 11);
  EXPECT_TRUE(readAlarm());
  EXPECT_EQ(Alarm.min, -1);
  board().clearTrace();
  EXPECT_TRUE(writeAlarm());
  EXPECT_EQ(transfers(), alarmWrites(0x01, 0x80, 0x80));
  EXPECT_TRUE(readAlarm());
  EXPECT_EQ(fields(Alarm), fields({false, -1, -1, 1, false}));
}

TEST_F(Rtc, WriteThenReadGivesTheAlarmBack) {
  for (AlarmRecord a : {AlarmRecord{false, 3, 6, 15, true}, {false, 31, 0, 0, false}, {false, 7, -1, 59, true}}) {
    Alarm = a;
    EXPECT_TRUE(writeAlarm());
    Alarm = {};
    EXPECT_TRUE(readAlarm());
    EXPECT_EQ(fields(Alarm), fields(a));
  }
  // Any day and any hour come back as -1.
  Alarm = {false, 0, -5, 10, false};
  EXPECT_TRUE(writeAlarm());
  EXPECT_TRUE(readAlarm());
  EXPECT_EQ(fields(Alarm), fields({false, -1, -1, 10, false}));
}

TEST_F(Rtc, NoWakeUpIsZeroInTheThreeRegisters) {
  board().setRtcRegisters({0x30, 0x07, 0x80, 0xFF}, 11);
  Alarm = {false, 5, 6, 7, true};
  EXPECT_TRUE(setNoWakeUp());
  EXPECT_EQ(transfers(), alarmWrites(0, 0, 0));
  EXPECT_EQ(fields(Alarm), fields({true, 5, 6, 7, true}));
  EXPECT_EQ(board().rtcRegisters()[14], 0xFF);  // the control register is alarmclear's business

  Alarm.nowakeup = false;
  EXPECT_TRUE(readAlarm());
  EXPECT_EQ(fields(Alarm), fields({true, 5, 6, 7, true}));
  EXPECT_TRUE(writeAlarm());
  EXPECT_FALSE(Alarm.nowakeup);
}

TEST_F(Rtc, AlarmOperationsDoNothingWhileTheClockIsNotOpen) {
  board().setRtcBus(simboard::RtcBus::kNoBus);
  openRTC();
  ASSERT_LT(iddev, 0);
  for (bool nowakeup : {false, true}) {
    const AlarmRecord before{nowakeup, 40, 30, 75, false};
    Alarm = before;
    EXPECT_FALSE(writeAlarm());
    EXPECT_FALSE(setNoWakeUp());
    EXPECT_FALSE(readAlarm());
    EXPECT_EQ(fields(Alarm), fields(before));
  }
  EXPECT_TRUE(transfers().empty());
}

TEST_F(Rtc, AFailedAlarmTransferIsReported) {
  board().setRtcRegisters({0x00, 0x00, 0x00}, 11);
  Alarm = {true, 3, 6, 15, true};
  board().setRtcFailAfter(1);  // the minute goes through, hour and day do not
  EXPECT_FALSE(writeAlarm());
  EXPECT_EQ(transfers().size(), 3u);
  EXPECT_EQ(board().rtcRegisters()[11], 0x15);
  EXPECT_EQ(board().rtcRegisters()[13], 0x00);

  board().setRtcFailAfter(0);
  EXPECT_FALSE(setNoWakeUp());

  // Registers 11 and 12 answer with 0 but 13 does not: that is no proof of the no-wake-up mark.
  board().setRtcFailAfter(-1);
  board().setRtcRegisters({0x00, 0x00, 0x41}, 11);
  board().setRtcFailAfter(2);
  Alarm = {false, 9, 9, 9, false};
  EXPECT_FALSE(readAlarm());
  EXPECT_EQ(fields(Alarm), fields({false, 9, 9, 9, false}));

  board().setRtcFailAfter(-1);
  EXPECT_TRUE(readAlarm());
  EXPECT_EQ(fields(Alarm), fields({false, 1, 0, 0, true}));
}

// The chip's calendar, where a wrong carry or week day would set or show the wrong wake-up.
TEST(Calendar, MinutesCarryThroughDaysMonthsAndLeapYears) {
  struct Case {
    DateRecord from;
    long long minutes;
    DateRecord to;
  };
  for (const Case& c : std::vector<Case>{
           {{0, 50, 22, 4, 30, 12, 2026}, 90, {0, 20, 0, 5, 31, 12, 2026}},
           {{9, 30, 23, 2, 28, 2, 2028}, 60, {9, 30, 0, 3, 29, 2, 2028}},
           {{0, 30, 23, 4, 28, 2, 2027}, 60, {0, 30, 0, 5, 1, 3, 2027}},
           {{0, 59, 23, 5, 31, 12, 2099}, 1, {0, 0, 0, 6, 1, 1, 2100}},
           {{0, 0, 0, 2, 1, 1, 2000}, 27 * 1440, {0, 0, 0, 1, 28, 1, 2000}},  // a week day of the chip's own count
           {{0, 20, 0, 5, 31, 12, 2026}, -90, {0, 50, 22, 4, 30, 12, 2026}}}) {
    DateRecord d = c.from;
    addMinutes(d, c.minutes);
    EXPECT_EQ(std::tie(d.Sec, d.Min, d.Hour, d.WeekDay, d.Day, d.Month, d.Year),
              std::tie(c.to.Sec, c.to.Min, c.to.Hour, c.to.WeekDay, c.to.Day, c.to.Month, c.to.Year))
        << c.from.Year << "-" << c.from.Month << "-" << c.from.Day << " + " << c.minutes;
  }
  EXPECT_EQ(weekDay(2000, 1, 1), 7);  // a Saturday
  EXPECT_EQ(weekDay(2026, 12, 8), 3);
  EXPECT_EQ(weekDay(2100, 3, 1), 2);
}
