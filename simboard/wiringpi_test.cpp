// The simulated wiringPi as a program meets it: wpiprobe's calls on a scratch board. The setup
// is done once, the return-code mode is read from WIRINGPI_CODES in the setup only, a failure
// prints the library's own text on standard error and ends the program with 1 unless that mode
// is on, pin calls after a GPIO setup that failed fault as on unmapped memory, and a caught
// signal ends a delay.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "bench.h"

namespace {

using simboard::RtcBus;

const std::string kNoGpio =
    "wiringPiSetup: Unable to open /dev/mem or /dev/gpiomem: Permission denied.\n"
    "  Aborting your program because if it can not access the GPIO\n"
    "  hardware then it most certianly won't work\n"
    "  Try running with sudo?\n";
const std::string kNoBus = "Unable to open I2C device: No such file or directory\n";

std::string probePath() { return (bench::toolDir() / "wiringpi-sim" / "wpiprobe").string(); }

class SimulatedWiringPi : public ::testing::Test {
 protected:
  bench::RunResult probe(std::vector<std::string> steps) {
    steps.insert(steps.begin(), probePath());
    board->clearTrace();
    return bench::run(*board, {.argv = std::move(steps)});
  }
  std::vector<std::string> trace() const { return simboard::describe(board.get().trace()); }
  bench::ScratchBoard board;
};

}  // namespace

TEST_F(SimulatedWiringPi, EachFaultOfTheBusEndsTheProgramWithTheLibrarysText) {
  const std::vector<std::pair<RtcBus, std::string>> faults = {
      {RtcBus::kNoBus, kNoBus},
      {RtcBus::kDenied, "Unable to open I2C device: Permission denied\n"},
      {RtcBus::kBusy, "Unable to select I2C device: Device or resource busy\n"}};
  for (const auto& [bus, text] : faults) {
    SCOPED_TRACE(simboard::busName(bus));
    board->setRtcBus(bus);
    auto r = probe({"setup", "i2c", "read", "0"});
    EXPECT_EQ(r.out, "setup 0\n");
    EXPECT_EQ(r.err, text);
    EXPECT_EQ(r.status, 1);
    r = probe({"codes", "setup", "i2c", "read", "0"});
    EXPECT_EQ(r.out, "setup 0\ni2c -1\nread 0 -1\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
  // With no chip answering the setup succeeds; each transfer returns -1 and ends nothing.
  board->setRtcBus(RtcBus::kNoChip);
  auto r = probe({"i2c", "read", "0", "write", "14", "24"});
  EXPECT_EQ(r.out, "i2c open\nread 0 -1\nwrite 14 -1\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  board->setRtcBus(RtcBus::kOk);
  board->setRtcHold(true);
  board->setRtcRegisters({0x45});
  EXPECT_EQ(probe({"i2c", "read", "0"}).out, "i2c open\nread 0 69\n");
}

TEST_F(SimulatedWiringPi, TheReturnCodeModeIsReadInTheSetupOnly) {
  board->setRtcBus(RtcBus::kNoBus);
  for (std::vector<std::string> steps : {std::vector<std::string>{"setup", "codes", "i2c"}, {"codes", "i2c"}}) {
    auto r = probe(steps);
    EXPECT_EQ(r.err, kNoBus) << steps[0];
    EXPECT_EQ(r.status, 1) << steps[0];
  }
}

TEST_F(SimulatedWiringPi, TheGpioSetupIsDoneOnceWhateverItsResult) {
  board->setGpioDenied(true);
  for (const char* setup : {"setup", "gpio"}) {
    auto r = probe({setup, "setup"});
    EXPECT_EQ(r.out, "") << setup;
    EXPECT_EQ(r.err, kNoGpio) << setup;
    EXPECT_EQ(r.status, 1) << setup;
  }
  auto r = probe({"codes", "setup", "setup", "gpio"});
  EXPECT_EQ(r.out, "setup -1\nsetup 0\ngpio 0\n") << "wiringPiSetupGpio always returns 0";
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(trace(), std::vector<std::string>{"gpio-setup -1"});
  board->setGpioDenied(false);
  EXPECT_EQ(probe({"gpio", "setup"}).out, "gpio 0\nsetup 0\n");
  EXPECT_EQ(trace(), std::vector<std::string>{"gpio-setup 0"});
}

TEST_F(SimulatedWiringPi, PinCallsFaultAfterAFailedSetupAndRefuseBeforeAny) {
  board->setGpioDenied(true);
  auto r = probe({"codes", "gpio", "pin", "23"});
  EXPECT_EQ(r.out, "gpio 0\n");
  EXPECT_EQ(r.signal, SIGSEGV);
  EXPECT_EQ(trace(), std::vector<std::string>{"gpio-setup -1"}) << "a pin was driven";
  board->setGpioDenied(false);
  r = probe({"pin", "23"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "pinMode: You have not called one of the wiringPiSetup\n"
            "  functions, so I'm aborting your program before it crashes anyway.\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(trace().empty());
}

TEST_F(SimulatedWiringPi, PinsAreNumberedAsTheSetupChose) {
  const std::vector<std::string> pulse = {"gpio-setup 0", "gpio-mode 23 1", "gpio-write 23 1"};
  EXPECT_EQ(probe({"gpio", "pin", "23"}).out, "gpio 0\npin 23\n");
  EXPECT_EQ(trace(), pulse);
  EXPECT_EQ(probe({"setup", "pin", "4"}).out, "setup 0\npin 4\n");
  EXPECT_EQ(trace(), pulse) << "wiringPi's pin 4 is Broadcom's 23";
}

TEST_F(SimulatedWiringPi, ACaughtSignalEndsADelay) {
  bench::Process p(*board, {.argv = {probePath(), "delay", "3000"}});
  ASSERT_TRUE(p.waitOutput("delay 3000\n", 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  p.signal(SIGUSR1);
  auto r = p.wait();
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.out.substr(0, 16), "delay 3000\ntook ");
  const int took = std::stoi(r.out.substr(16));
  EXPECT_GE(took, 200);
  EXPECT_LT(took, 1500) << "the delay went on after the signal";
}

TEST(SimulatedWiringPiWithoutBoard, IsAPiWithoutTheAddOn) {
  bench::TempDir empty;
  auto board = bench::Board::create(empty.path() / "b");
  std::filesystem::remove(empty.path() / "b" / "state");
  auto r = bench::run(board, {.argv = {probePath(), "i2c"}});
  EXPECT_EQ(r.err, kNoBus) << "I2C is not enabled there";
  EXPECT_EQ(r.status, 1);
  r = bench::run(board, {.argv = {probePath(), "gpio", "pin", "23"}});
  EXPECT_EQ(r.out, "gpio 0\npin 23\n");
  EXPECT_EQ(r.status, 0);
}
