#include <gtest/gtest.h>

#include "bench.h"

namespace {

using Bytes = std::vector<int>;

const char* const kHelp =
    "Set the RTC wake-up alarm\n"
    "format : alarmset [-h] MIN | HH:MM [DAY | --weekday N] | --off\n"
    "        MIN                every hour at minute MIN (0-59)\n"
    "        HH:MM              every day at HH:MM\n"
    "        HH:MM DAY          on day DAY (1-31) of each month at HH:MM\n"
    "        HH:MM --weekday N  every week on day N (1 = Sunday ... 7 = Saturday) at HH:MM\n"
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
    const auto t = transfers();
    ASSERT_EQ(t.size(), 11u);
    EXPECT_EQ(std::vector<std::string>(t.begin() + 1, t.begin() + 8),
              (std::vector<std::string>{"i2c-write 11 " + std::to_string(c.alarm[0]) + " 0",
                                        "i2c-write 12 " + std::to_string(c.alarm[1]) + " 0",
                                        "i2c-write 13 " + std::to_string(c.alarm[2]) + " 0", "i2c-read 14 24",
                                        "i2c-write 14 30 0", "i2c-read 15 130", "i2c-write 15 128 0"}));
    EXPECT_EQ(t.back(), "i2c-read 13 " + std::to_string(c.alarm[2])) << "read back";
  }
}

TEST_F(Alarmset, OffLeavesNoWakeUpAndTheInterruptDisabled) {
  ASSERT_EQ(set({"07:30", "--weekday", "2"}).status, 0);
  board->setRtcRegisters({0x02}, 15);  // it fired
  const auto r = set({"--off"});
  EXPECT_EQ(r.out, "OK no wake-up set\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(alarmRegisters(), (Bytes{0x00, 0x00, 0x00, 0x1C, 0x02}));
}

TEST_F(Alarmset, OutOfRangeValuesAreRefusedBeforeAnyTransfer) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const std::string shape =
      "NO not an alarm: use MIN, HH:MM, HH:MM DAY, HH:MM --weekday N or --off (alarmset -h for help)\n";
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
  for (const auto& [good, out] : {std::pair{3, "NO RTC read failed!\n"},  // register 14 does not answer
                                  {4, "NO RTC write failed!\n"},          // nor takes its byte
                                  {7, "NO RTC read failed!\n"}}) {        // the read-back fails
    board->setRtcFailAfter(good);
    const auto r = set({"07:30"});
    EXPECT_EQ(r.out, out) << good;
    EXPECT_EQ(r.status, 255);
    board->setRtcFailAfter(-1);
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
  EXPECT_EQ(r.out, "OK wake-up every Monday at 07:30\nInterrupt enabled; the alarm has not fired since it was set\n");
  ASSERT_EQ(set({"--off"}).status, 0);
  r = bench::run(*board, {.argv = {"alarmshow"}});
  EXPECT_EQ(r.out, "OK no wake-up set\nInterrupt disabled; the alarm has not fired since it was set\n");
}
