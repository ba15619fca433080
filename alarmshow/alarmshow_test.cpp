#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "bench.h"

namespace {

const char* const kEnabledNotFired = "Interrupt enabled; the alarm has not fired since it was set\n";

class Alarmshow : public ::testing::Test {
 protected:
  void SetUp() override {
    board->setRtcHold(true);
    board->setRtcTime(2026, 6, 14, 7, 0, 0);
  }
  // Registers 11 to 15 holding `regs`, then alarmshow.
  bench::RunResult show(std::vector<std::uint8_t> regs, std::vector<std::string> args = {}) {
    board->setRtcRegisters(regs, 11);
    board->clearTrace();
    args.insert(args.begin(), "alarmshow");
    return bench::run(*board, {.argv = args});
  }
  bench::ScratchBoard board;
};

}  // namespace

// The board's clock is at Sunday 14 June 2026 07:00:00.
TEST_F(Alarmshow, EachPatternTheLibraryReadsInWordsAndWhenItNextFires) {
  for (const auto& [regs, line, next] : std::vector<std::tuple<std::vector<std::uint8_t>, std::string, std::string>>{
           {{0x30, 0x80, 0x80}, "OK wake-up every hour at minute 30\n", "14/06/2026 07:30"},
           {{0x30, 0x07, 0x80}, "OK wake-up every day at 07:30\n", "14/06/2026 07:30"},
           {{0x00, 0x07, 0x80}, "OK wake-up every day at 07:00\n", "15/06/2026 07:00"},
           {{0x30, 0x07, 0x15}, "OK wake-up on day 15 of each month at 07:30\n", "15/06/2026 07:30"},
           {{0x30, 0x06, 0x14}, "OK wake-up on day 14 of each month at 06:30\n", "14/07/2026 06:30"},
           {{0x00, 0x07, 0x31}, "OK wake-up on day 31 of each month at 07:00\n", "31/07/2026 07:00"},
           {{0x30, 0x07, 0x42}, "OK wake-up every Monday at 07:30\n", "15/06/2026 07:30"},
           {{0x45, 0x23, 0x44}, "OK wake-up every Wednesday at 23:45\n", "17/06/2026 23:45"},
           {{0x80, 0x07, 0x80}, "OK wake-up every minute from 07:00 to 07:59\n", "14/06/2026 07:01"},
           {{0x80, 0x80, 0x80}, "OK wake-up every minute\n", "14/06/2026 07:01"},
           {{0x05, 0x80, 0x46}, "OK wake-up every Friday, every hour at minute 5\n", "19/06/2026 00:05"},
           {{0x80, 0x80, 0x15}, "OK wake-up on day 15 of each month, every minute\n", "15/06/2026 00:00"},
           {{0x80, 0x12, 0x41}, "OK wake-up every Sunday, every minute from 12:00 to 12:59\n", "14/06/2026 12:00"},
           {{0x00, 0x00, 0x00}, "OK no wake-up set\n", ""}}) {
    SCOPED_TRACE(line);
    auto regs5 = regs;
    regs5.insert(regs5.end(), {0x1E, 0x00});
    const auto r = show(regs5);
    EXPECT_EQ(r.out, line + (next.empty() ? "OK no next wake-up\n" : "OK next wake-up " + next + "\n") + kEnabledNotFired);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(board->trace("i2c-write").empty()) << "only reads";
  }
}

// A day 31 from 31 January waits for March; the week day is the chip's own count.
TEST_F(Alarmshow, TheNextWakeUpFollowsTheChipsCalendar) {
  board->setRtcTime(2027, 1, 31, 8, 0, 0);
  EXPECT_EQ(show({0x00, 0x07, 0x31, 0x1E, 0x00}).out,
            "OK wake-up on day 31 of each month at 07:00\nOK next wake-up 31/03/2027 07:00\n" + std::string(kEnabledNotFired));
  board->setRtcRegisters({0x00, 0x00, 0x00, 0x02, 0x01, 0x01, 0x00});  // Saturday 1 January 2000, written as a Monday
  EXPECT_EQ(show({0x30, 0x07, 0x43, 0x1E, 0x00}).out,
            "OK wake-up every Tuesday at 07:30\nOK next wake-up 02/01/2000 07:30\n" + std::string(kEnabledNotFired));
}

TEST_F(Alarmshow, TheInterruptAndTheFlag) {
  for (const auto& [control, status, line] : std::vector<std::tuple<std::uint8_t, std::uint8_t, std::string>>{
           {0x1E, 0x02, "Interrupt enabled; the alarm has fired since it was set\n"},
           {0x18, 0x80, "Interrupt disabled; the alarm has not fired since it was set\n"},
           {0x02, 0x03, "Interrupt disabled; the alarm has fired since it was set\n"},  // INTCN off: a square wave
           {0x04, 0x00, "Interrupt disabled; the alarm has not fired since it was set\n"}}) {
    const auto r = show({0x30, 0x07, 0x80, control, status});
    EXPECT_EQ(r.out, "OK wake-up every day at 07:30\nOK next wake-up 14/06/2026 07:30\n" + line);
  }
}

TEST_F(Alarmshow, RegistersThatHoldNoAlarmAreNeverShownAsOne) {
  for (const std::vector<std::uint8_t>& regs : std::vector<std::vector<std::uint8_t>>{
           {0x60, 0x07, 0x80}, {0x3A, 0x07, 0x80}, {0x30, 0x24, 0x80}, {0x30, 0x47, 0x80},
           {0x30, 0x07, 0x32}, {0x30, 0x07, 0x00}, {0x30, 0x07, 0x40}, {0x30, 0x07, 0x48}}) {
    const auto r = show(regs);
    EXPECT_EQ(r.out, "NO RTC time invalid!\n") << std::hex << int(regs[0]) << " " << int(regs[1]) << " " << int(regs[2]);
    EXPECT_EQ(r.status, 255);
  }
}

TEST_F(Alarmshow, EachFaultOfTheBusIsReported) {
  for (auto bus : {simboard::RtcBus::kNoBus, simboard::RtcBus::kDenied, simboard::RtcBus::kBusy}) {
    board->setRtcBus(bus);
    EXPECT_EQ(show({0x30, 0x07, 0x80}).out, "NO RTC found!\n") << simboard::busName(bus);
  }
  board->setRtcBus(simboard::RtcBus::kNoChip);
  EXPECT_EQ(show({}).out, "NO RTC read failed!\n");
  board->setRtcBus(simboard::RtcBus::kOk);
  for (int good : {2, 3, 4, 5}) {  // an alarm register, the control or the status register, the clock
    board->setRtcFailAfter(good);
    const auto r = show({});
    EXPECT_EQ(r.out, "NO RTC read failed!\n") << good;
    EXPECT_EQ(r.status, 255);
    board->setRtcFailAfter(-1);
  }
}

// The chip's alarm fires as its clock passes the time set, and alarmshow says so.
TEST_F(Alarmshow, AWakeUpHappens) {
  ASSERT_EQ(bench::run(*board, {.argv = {"alarmset", "07:30"}}).status, 0);
  board->setRtcRegisters({0x59, 0x29, 0x07});  // 07:29:59
  EXPECT_EQ(bench::run(*board, {.argv = {"alarmshow"}}).out,
            "OK wake-up every day at 07:30\nOK next wake-up 14/06/2026 07:30\n" + std::string(kEnabledNotFired));
  board->setRtcHold(false);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(bench::run(*board, {.argv = {"alarmshow"}}).out,
            "OK wake-up every day at 07:30\nOK next wake-up 15/06/2026 07:30\n"
            "Interrupt enabled; the alarm has fired since it was set\n");
  // Setting it again acknowledges it.
  ASSERT_EQ(bench::run(*board, {.argv = {"alarmset", "07:30"}}).status, 0);
  EXPECT_EQ(bench::run(*board, {.argv = {"alarmshow"}}).out,
            "OK wake-up every day at 07:30\nOK next wake-up 15/06/2026 07:30\n" + std::string(kEnabledNotFired));
}

TEST_F(Alarmshow, AResultThatCannotBeWrittenFails) {
  board->setRtcRegisters({0x30, 0x07, 0x80, 0x1E, 0x00}, 11);
  const auto r = bench::run(*board, {.argv = {"sh", "-c", "alarmshow >/dev/full"}});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "alarmshow: cannot write standard output: No space left on device\n");
}

TEST_F(Alarmshow, HelpTouchesNothingAndOtherWordsAreRefused) {
  for (const char* word : {"-h", "--help"}) {
    const auto r = show({}, {word});
    EXPECT_EQ(r.out,
              "Show the RTC wake-up alarm, when it next fires, and whether it may signal and has fired\n"
              "format : alarmshow [-h]\n");
    EXPECT_EQ(r.status, 0);
  }
  const auto r = show({}, {"--all"});
  EXPECT_EQ(r.out, "NO unknown argument --all (alarmshow -h for help)\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(board->trace().empty());
}
