#include <gtest/gtest.h>

#include "bench.h"

namespace {

using Bytes = std::vector<int>;

const char* const kHelp =
    "Set the RTC wake-up alarm\n"
    "format : alarmset [-h] MIN | HH:MM [DAY | --weekday N] | YYYY-MM-DD HH:MM | --in MINUTES | --off\n"
    "        MIN                every hour at minute MIN (0-59)\n"
    "        HH:MM              every day at HH:MM\n"
    "        HH:MM DAY          on day DAY (1-31) of each month at HH:MM\n"
    "        HH:MM --weekday N  every week on day N (1 = Sunday ... 7 = Saturday) at HH:MM\n"
    "        YYYY-MM-DD HH:MM   on that date, up to 27 days ahead of the RTC's time\n"
    "        --in MINUTES       MINUTES from the RTC's time (at most 27 days)\n"
    "                           (these two set the day of the month: the alarm comes again a month later)\n"
    "        --off              no wake-up\n";

class Alarmset : public ::testing::Test {
 protected:
  void SetUp() override {
    board->setRtcHold(true);
    board->setRtcTime(2026, 6, 14, 7, 0, 0);
    // As alarmclear leaves the control register; an old alarm's flag, and the oscillator's.
    board->setRtcRegisters({0x00, 0x00, 0x00, 0x18, 0x82}, 11);
    board->clearTrace();
  }
  bench::RunResult set(std::vector<std::string> args) {
    args.insert(args.begin(), "alarmset");
    return bench::run(*board, {.argv = args});
  }
  // Registers 11 to 15.
  Bytes alarmRegisters() {
    const auto r = board->rtcRegisters();
    return {r.begin() + 11, r.begin() + 16};
  }
  std::vector<std::string> transfers() {
    std::vector<std::string> t;
    for (const auto& e : board->trace("i2c-")) t.push_back(simboard::describe(e));
    return t;
  }
  bench::ScratchBoard board;
};

}  // namespace

TEST_F(Alarmset, EachFormWritesItsRegistersAndSaysWhatTheChipHolds) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
    Bytes alarm;
  };
  for (const Case& c : std::vector<Case>{
           {{"30"}, "OK wake-up every hour at minute 30\n", {0x30, 0x80, 0x80}},
           {{"0"}, "OK wake-up every hour at minute 0\n", {0x00, 0x80, 0x80}},
           {{"07:30"}, "OK wake-up every day at 07:30\n", {0x30, 0x07, 0x80}},
           {{"0:00"}, "OK wake-up every day at 00:00\n", {0x00, 0x00, 0x80}},
           {{"23:59", "31"}, "OK wake-up on day 31 of each month at 23:59\n", {0x59, 0x23, 0x31}},
           {{"7:30", "15"}, "OK wake-up on day 15 of each month at 07:30\n", {0x30, 0x07, 0x15}},
           {{"07:30", "--weekday", "2"}, "OK wake-up every Monday at 07:30\n", {0x30, 0x07, 0x42}},
           {{"07:30", "--weekday", "1"}, "OK wake-up every Sunday at 07:30\n", {0x30, 0x07, 0x41}},
           {{"18:05", "--weekday", "7"}, "OK wake-up every Saturday at 18:05\n", {0x05, 0x18, 0x47}}}) {
    SCOPED_TRACE(c.args[0]);
    board->setRtcRegisters({0x18, 0x82}, 14);
    board->clearTrace();
    const auto r = set(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 0);
    // The interrupt output signals alarm 2 (bits 2 and 1 of register 14 added to its others),
    // and alarm 2's flag is cleared, the oscillator's kept.
    EXPECT_EQ(alarmRegisters(), (Bytes{c.alarm[0], c.alarm[1], c.alarm[2], 0x1E, 0x80}));
    // Alarm 2's interrupt off before its registers change, on once they hold the new alarm.
    const auto t = transfers();
    ASSERT_EQ(t.size(), 13u);
    EXPECT_EQ(std::vector<std::string>(t.begin() + 1, t.begin() + 10),
              (std::vector<std::string>{"i2c-read 14 24", "i2c-write 14 24 0",
                                        "i2c-write 11 " + std::to_string(c.alarm[0]) + " 0",
                                        "i2c-write 12 " + std::to_string(c.alarm[1]) + " 0",
                                        "i2c-write 13 " + std::to_string(c.alarm[2]) + " 0", "i2c-read 15 130",
                                        "i2c-write 15 128 0", "i2c-read 14 24", "i2c-write 14 30 0"}));
    EXPECT_EQ(t.back(), "i2c-read 13 " + std::to_string(c.alarm[2])) << "read back";
  }
}

TEST_F(Alarmset, OffLeavesNoWakeUpAndTheInterruptDisabled) {
  ASSERT_EQ(set({"07:30", "--weekday", "2"}).status, 0);
  board->setRtcRegisters({0x02}, 15);  // it fired
  board->clearTrace();
  const auto r = set({"--off"});
  EXPECT_EQ(r.out, "OK no wake-up set\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(alarmRegisters(), (Bytes{0x00, 0x00, 0x00, 0x1C, 0x02}));
  const auto t = transfers();
  ASSERT_GE(t.size(), 3u);
  EXPECT_EQ(t[2], "i2c-write 14 28 0") << "the interrupt goes off before the alarm registers change";
}

// A moment, as a date or in minutes, from the board's own clock: alarm 2 on that day of the
// month, refused before any write where the chip would not fire then.
TEST_F(Alarmset, AMomentIsSetFromTheRtcsTime) {
  struct Case {
    std::vector<int> clock;  // year, month, day, hour, minute, second
    std::vector<std::string> args;
    std::string out;
    Bytes alarm;  // registers 11-13; none when refused
  };
  const std::string far = " is more than 27 days ahead: the alarm keeps only the day of the month, so it would fire on day ";
  for (const Case& c : std::vector<Case>{
           {{2026, 12, 30, 22, 50, 0}, {"--in", "90"},
            "OK wake-up on day 31 of each month at 00:20\nOK next wake-up 31/12/2026 00:20\n", {0x20, 0x00, 0x31}},
           {{2028, 2, 28, 23, 30, 15}, {"--in", "60"},
            "OK wake-up on day 29 of each month at 00:30\nOK next wake-up 29/02/2028 00:30\n", {0x30, 0x00, 0x29}},
           {{2026, 12, 30, 22, 50, 0}, {"2027-01-26", "22:50"},
            "OK wake-up on day 26 of each month at 22:50\nOK next wake-up 26/01/2027 22:50\n", {0x50, 0x22, 0x26}},
           {{2026, 12, 30, 22, 50, 0}, {"2026-12-30 22:51"},
            "OK wake-up on day 30 of each month at 22:51\nOK next wake-up 30/12/2026 22:51\n", {0x51, 0x22, 0x30}},
           {{2026, 12, 30, 22, 50, 0}, {"2027-01-26", "22:51"}, "NO 26/01/2027 22:51" + far + "26 of an earlier month\n", {}},
           {{2026, 12, 30, 22, 50, 0}, {"--in", "50000"}, "NO 03/02/2027 16:10" + far + "3 of an earlier month\n", {}},
           {{2026, 12, 30, 22, 50, 30}, {"--in", "0"},
            "NO 30/12/2026 22:50 has passed: the RTC's time is 30/12/2026 22:50:30\n", {}},
           {{2026, 12, 30, 22, 50, 0}, {"2026-12-30", "22:49"},
            "NO 30/12/2026 22:49 has passed: the RTC's time is 30/12/2026 22:50:00\n", {}},
           {{2026, 12, 30, 22, 50, 0}, {"2027-02-30", "06:00"},
            "NO not a date and time of 2000-2099: 2027-02-30 06:00 (YYYY-MM-DD HH:MM)\n", {}},
           {{2026, 12, 30, 22, 50, 0}, {"2027-01-02 06:00:00"},
            "NO not a date and time of 2000-2099: 2027-01-02 06:00:00 (YYYY-MM-DD HH:MM)\n", {}},
           {{2026, 12, 30, 22, 50, 0}, {"--in", "1.5"}, "NO not a number of minutes: 1.5 (--in MINUTES)\n", {}},
           {{2026, 12, 30, 22, 50, 0}, {"--in"}, "NO not a number of minutes:  (--in MINUTES)\n", {}}}) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    board->setRtcTime(c.clock[0], c.clock[1], c.clock[2], c.clock[3], c.clock[4], c.clock[5]);
    board->setRtcRegisters({0x30, 0x07, 0x80, 0x1E, 0x00}, 11);
    board->clearTrace();
    const auto r = set(c.args);
    EXPECT_EQ(r.out, c.out);
    if (c.alarm.empty()) {
      EXPECT_EQ(r.status, 255);
      EXPECT_TRUE(board->trace("i2c-write").empty()) << "written";
    } else {
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(alarmRegisters(), (Bytes{c.alarm[0], c.alarm[1], c.alarm[2], 0x1E, 0x00}));
    }
  }
}

TEST_F(Alarmset, OutOfRangeValuesAreRefusedBeforeAnyTransfer) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const std::string shape =
      "NO not an alarm: use MIN, HH:MM, HH:MM DAY, HH:MM --weekday N, YYYY-MM-DD HH:MM, --in MINUTES or --off "
      "(alarmset -h for help)\n";
  for (const Case& c : std::vector<Case>{{{"60"}, "NO minute 60 out of range (0-59)\n"},
                                         {{"24:00"}, "NO hour 24 out of range (0-23)\n"},
                                         {{"07:60"}, "NO minute 60 out of range (0-59)\n"},
                                         {{"07:30", "0"}, "NO day 0 out of range (1-31)\n"},
                                         {{"07:30", "32"}, "NO day 32 out of range (1-31)\n"},
                                         {{"07:30", "--weekday", "0"}, "NO week day 0 out of range (1-7)\n"},
                                         {{"07:30", "--weekday", "8"}, "NO week day 8 out of range (1-7)\n"},
                                         {{"-5"}, "NO not a minute: -5\n"},
                                         {{"100"}, "NO not a minute: 100\n"},
                                         {{"7:3"}, "NO not a minute: 7:3\n"},
                                         {{"07:30", "1st"}, "NO not a day: 1st\n"},
                                         {{"07:30", "--weekday", "Monday"}, "NO not a week day: Monday\n"},
                                         {{}, shape},
                                         {{"07:30", "--weekday"}, shape},
                                         {{"07:30", "15", "16"}, shape},
                                         {{"30", "15"}, shape},
                                         {{"--off", "now"}, shape},
                                         {{"07:30", "--day", "3"}, shape}}) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    const auto r = set(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 255);
  }
  EXPECT_TRUE(board->trace().empty()) << "the board was touched";
}

TEST_F(Alarmset, EachFaultOfTheBusIsReported) {
  for (auto bus : {simboard::RtcBus::kNoBus, simboard::RtcBus::kDenied, simboard::RtcBus::kBusy}) {
    board->setRtcBus(bus);
    const auto r = set({"07:30"});
    EXPECT_EQ(r.out, "NO RTC found!\n") << simboard::busName(bus);
    EXPECT_EQ(r.status, 255);
  }
  board->setRtcBus(simboard::RtcBus::kNoChip);
  EXPECT_EQ(set({"07:30"}).out, "NO RTC write failed!\n");
  EXPECT_EQ(set({"--off"}).out, "NO RTC write failed!\n");
  board->setRtcBus(simboard::RtcBus::kOk);
  // Over an alarm that may signal: a fault at any step leaves it as it was, or unable to signal.
  for (const auto& [good, out] : {std::pair{0, "NO RTC write failed!\n"},  // register 14 does not answer
                                  {1, "NO RTC write failed!\n"},          // nor takes its byte
                                  {3, "NO RTC write failed!\n"},          // half-way through the alarm
                                  {6, "NO RTC write failed!\n"},          // the flag
                                  {8, "NO RTC write failed!\n"},          // the interrupt back on
                                  {9, "NO RTC read failed!\n"}}) {        // the read-back fails
    board->setRtcRegisters({0x30, 0x07, 0x80, 0x1E, 0x00}, 11);
    board->setRtcFailAfter(good);
    const auto r = set({"08:45", "3"});
    board->setRtcFailAfter(-1);
    EXPECT_EQ(r.out, out) << good;
    EXPECT_EQ(r.status, 255);
    const Bytes after = alarmRegisters();
    EXPECT_TRUE(after == (Bytes{0x30, 0x07, 0x80, 0x1E, 0x00}) || !(after[3] & 0x02) || after == (Bytes{0x45, 0x08, 0x03, 0x1E, 0x00}))
        << good << ": an alarm nobody set may signal";
  }
}

TEST_F(Alarmset, HelpTouchesNothing) {
  for (const char* word : {"-h", "--help"}) {
    const auto r = set({"07:30", word});
    EXPECT_EQ(r.out, kHelp);
    EXPECT_EQ(r.status, 0);
  }
  EXPECT_TRUE(board->trace().empty());
}

// The done-when check: what alarmset set, alarmshow shows; and --off.
TEST_F(Alarmset, AlarmshowShowsWhatWasSet) {
  ASSERT_EQ(set({"07:30", "--weekday", "2"}).status, 0);
  auto r = bench::run(*board, {.argv = {"alarmshow"}});
  EXPECT_EQ(r.out,
            "OK wake-up every Monday at 07:30\nOK next wake-up 15/06/2026 07:30\n"
            "Interrupt enabled; the alarm has not fired since it was set\n");
  ASSERT_EQ(set({"--off"}).status, 0);
  r = bench::run(*board, {.argv = {"alarmshow"}});
  EXPECT_EQ(r.out, "OK no wake-up set\nOK no next wake-up\nInterrupt disabled; the alarm has not fired since it was set\n");
}
