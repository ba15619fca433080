#include <gtest/gtest.h>

#include <thread>

#include "bench.h"

namespace {

const char* const kHelp =
    "Show RTC time\n"
    "format : clockshow [-h|-s|-t]\n"
    "        no params out: dd/mm/yyyy hh:mm\n"
    "        -t  just time: hh:mm\n"
    "        -s  timestamp : yyyy-mm-dd hh:mm:ss (no linefeed)\n";

class Clockshow : public ::testing::Test {
 protected:
  void SetUp() override {
    board->setRtcHold(true);
    board->setRtcTime(2026, 12, 7, 9, 5, 41);
  }
  bench::RunResult show(std::vector<std::string> args) {
    args.insert(args.begin(), "clockshow");
    return bench::run(*board, {.argv = args});
  }
  bench::ScratchBoard board;
};

}  // namespace

TEST_F(Clockshow, PrintsEachFormatByteForByte) {
  auto r = show({});
  EXPECT_EQ(r.out, "07/12/2026 09:05\n");
  EXPECT_EQ(r.status, 0);
  for (const char* opt : {"-t", "-T"}) {
    r = show({opt});
    EXPECT_EQ(r.out, "09:05\n") << opt;
    EXPECT_EQ(r.status, 0);
  }
  for (const char* opt : {"-s", "-S"}) {
    r = show({opt});
    EXPECT_EQ(r.out, "2026-12-07 09:05") << opt;  // no seconds, no line end
    EXPECT_EQ(r.status, 0);
  }
  r = show({"-t", "extra", "words"});
  EXPECT_EQ(r.out, "09:05\n");
  EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(Clockshow, HelpAndOtherWords) {
  for (const char* opt : {"-h", "-H", "--help"}) {
    auto r = show({opt});
    EXPECT_EQ(r.out, kHelp);
    EXPECT_EQ(r.status, 0);
  }
  for (const char* word : {"-x", "--hel", "-time", ""}) {
    auto r = show({word});
    EXPECT_EQ(r.out, "") << word;
    EXPECT_EQ(r.status, 0) << word;
  }
}

TEST_F(Clockshow, OpensAndReadsTheClockBeforeLookingAtOtherOptions) {
  board->clearTrace();
  show({"-x"});
  std::vector<int> reads;
  for (const auto& e : board->trace())
    if (e.op == "i2c-read") reads.push_back(e.args[0]);
  EXPECT_EQ(reads, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 0})) << "the seconds again, at the end";
  const auto trace = board->trace();
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(simboard::describe(trace[0]), "gpio-setup 0") << "wiringPi's setup, for its return-code mode";
  EXPECT_EQ(trace[1].op, "i2c-setup");
  EXPECT_EQ(trace[1].args[0], 104);
}

TEST_F(Clockshow, PadsSingleDigitsAndReadsTheFullHourRange) {
  board->setRtcRegisters({0x00, 0x01, 0x23, 0x02, 0x03, 0x04, 0x00});
  EXPECT_EQ(show({}).out, "03/04/2000 23:01\n");
  board->setRtcRegisters({0x59, 0x59, 0x63, 0x07, 0x31, 0x92, 0x99});  // bits above the fields set
  EXPECT_EQ(show({}).out, "31/12/2099 23:59\n");
}

TEST_F(Clockshow, TheClockTicksBetweenRuns) {
  board->setRtcRegisters({0x59, 0x59, 0x23, 0x04, 0x31, 0x12, 0x26});
  board->setRtcHold(false);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(show({}).out, "01/01/2027 00:00\n");
}

// Reads of registers 0 to 6, then of the seconds again, that fail from the (n+1)th on, n = 0 to
// 7, and all eight succeeding: a read that does not fully succeed is reported, never decoded into
// a made-up date; every register is still tried. The help needs no clock.
TEST_F(Clockshow, AReadFailingPartWayIsReportedNeverDecoded) {
  for (int n = 0; n <= 8; ++n) {
    SCOPED_TRACE("reads that succeed: " + std::to_string(n));
    const bool whole = n == 8;
    for (const char* opt : {"", "-t", "-s", "-T"}) {
      SCOPED_TRACE(opt);
      board->clearTrace();
      board->setRtcFailAfter(n);
      auto r = show(*opt ? std::vector<std::string>{opt} : std::vector<std::string>{});
      campaign::expectSound(r);
      const std::string date = *opt == '\0' ? "07/12/2026 09:05\n" : opt[1] == 's' ? "2026-12-07 09:05" : "09:05\n";
      EXPECT_EQ(r.out, whole ? date : "NO RTC read failed!\n");
      EXPECT_EQ(r.status, whole ? 0 : 255);
      const auto t = campaign::transfers(*board, "i2c-read");
      EXPECT_EQ(t.tried, n < 7 ? 7 : 8) << "every register is tried, and the seconds again after all seven";
      EXPECT_EQ(t.succeeded, n);
    }
    board->setRtcFailAfter(n);
    auto r = show({"-h"});
    EXPECT_EQ(r.out, kHelp);
    EXPECT_EQ(r.status, 0);
  }
  board->setRtcFailAfter(-1);
}

TEST_F(Clockshow, HelpTouchesNothing) {
  board->clearTrace();
  EXPECT_EQ(show({"-h"}).out, kHelp);
  EXPECT_TRUE(board->trace().empty());
}

// A decoded date that cannot exist is never printed as one; a reset clock is a date.
TEST_F(Clockshow, ATimeThatCannotExistIsNeverPrinted) {
  for (const std::vector<std::uint8_t>& regs : {std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x01, 0x01, 0x13, 0x26},
                                                {0x00, 0x00, 0x00, 0x01, 0x32, 0x12, 0x26},
                                                {0x00, 0x00, 0x00, 0x01, 0x29, 0x02, 0x27},
                                                {0x00, 0x00, 0x24, 0x01, 0x01, 0x12, 0x26},
                                                {0x00, 0x60, 0x00, 0x01, 0x01, 0x12, 0x26},
                                                {0x00, 0x00, 0x1B, 0x01, 0x01, 0x12, 0x26}}) {
    board->setRtcRegisters(regs);
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"-t"}, {"-s"}}) {
      auto r = show(args);
      EXPECT_EQ(r.out, "NO RTC time invalid!\n");
      EXPECT_EQ(r.status, 255);
    }
  }
  board->setRtcRegisters({0x00, 0x00, 0x00, 0x07, 0x01, 0x01, 0x00});
  EXPECT_EQ(show({}).out, "01/01/2000 00:00\n");
}

TEST_F(Clockshow, AResultThatCannotBeWrittenFails) {
  for (const char* command : {"clockshow >/dev/full", "clockshow -t >/dev/full", "clockshow -h >/dev/full"}) {
    auto r = bench::run(*board, {.argv = {"sh", "-c", command}});
    EXPECT_EQ(r.status, 255) << command;
    EXPECT_EQ(r.err, "clockshow: cannot write standard output: No space left on device\n");
  }
  // A reader that has gone before the result: no silent death by SIGPIPE.
  auto r = bench::run(*board,
                      {.argv = {"sh", "-c", "exec 3>&1; { sleep 0.2; clockshow; echo \"status $?\" >&3; } | true"}});
  EXPECT_EQ(r.out, "status 255\n");
  EXPECT_EQ(r.err, "clockshow: cannot write standard output: Broken pipe\n");
}

TEST_F(Clockshow, HelpAndUnknownWordsNeedNoClock) {
  board->setRtcBus(simboard::RtcBus::kNoBus);
  auto r = show({"-h"});
  EXPECT_EQ(r.out, kHelp);
  EXPECT_EQ(r.status, 0);
  r = show({"-x"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0);
}

TEST(ClockshowWithoutBoard, ActsLikeAPiWithoutTheAddOn) {
  // A directory that holds no board: the tool finds no clock there.
  bench::TempDir empty;
  auto board = bench::Board::create(empty.path() / "b");
  std::filesystem::remove(empty.path() / "b" / "state");
  auto r = bench::run(board, {.argv = {"clockshow", "-t"}});
  EXPECT_EQ(r.out, "NO RTC found!\n");
  EXPECT_EQ(r.status, 255);
}
