// The tools built against wiringPi 3.14 itself, beside the same tools built against the
// simulated library, on one virtual board. The real library runs with the stand-in for the
// Pi's kernel preloaded (i2cdev_standin.so: /dev/i2c-1 from the board's clock chip and bus
// faults, a Pi 4's /proc/cpuinfo, GPIO memory that a user outside group gpio cannot open), in
// the bench's private /dev, where neither /dev/mem nor /dev/gpiomem exists: it maps nothing.
// For each fault of the bus, and for the GPIO that cannot be opened, each tool must print the
// same bytes, make the same transfers, start the same commands and end in the same way with
// both libraries; and wpiprobe's calls must show the simulated library failing, exiting and
// returning as the real one does.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "bench.h"

namespace {

namespace fs = std::filesystem;
namespace programmer = bench::programmer;
using simboard::RtcBus;

#ifdef REAL_WIRINGPI_BIN
const fs::path kRealBin = REAL_WIRINGPI_BIN;
#else
const fs::path kRealBin;
#endif

// One run of a program with each library, and what it did to the board.
struct Outcome {
  bench::RunResult result;
  std::vector<std::string> transfers;  // the I2C transfers, as the trace describes them
  std::vector<std::string> gpio;       // the pin calls (gpio-setup is the simulated library's own)
  std::vector<std::vector<std::string>> commands;
  std::vector<programmer::Run> programmer;
};

class RealWiringPi : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef REAL_WIRINGPI_SKIP
    GTEST_SKIP() << REAL_WIRINGPI_SKIP ": the tests against the real library are skipped";
#endif
    board->setRtcHold(true);
    board->setRtcTime(2026, 12, 7, 9, 5, 41);
    registers_ = board->rtcRegisters();
    std::ofstream(hex_.path() / "file.hex") << ":00000001FF\n";
  }

  // `argv[0]` as the simulated build made it and as the real one did, each run on the board as
  // it was before the first (its registers, and `failAfter` transfers that succeed).
  std::pair<Outcome, Outcome> both(std::vector<std::string> argv, int failAfter = -1) {
    const fs::path simulated = argv[0] == "wpiprobe" ? bench::toolDir() / "wiringpi-sim" : bench::toolDir();
    return {runWith(simulated, argv, {}, failAfter), runWith(kRealBin, argv, {preload()}, failAfter)};
  }
  static std::string preload() { return "LD_PRELOAD=" + (kRealBin / "i2cdev_standin.so").string(); }

  // The same, expected to agree in every respect: what the program printed and how it ended,
  // and, for the tools, what reached the board. (The simulated board also records a probe's
  // transfer on a handle that never opened, which on a Pi never reaches the bus.)
  Outcome same(std::vector<std::string> argv) {
    const auto [simulated, real] = both(argv);
    SCOPED_TRACE(argv[0] + (argv.size() > 1 ? " " + argv[1] : ""));
    EXPECT_EQ(real.result.out, simulated.result.out);
    EXPECT_EQ(real.result.err, simulated.result.err);
    EXPECT_EQ(real.result.status, simulated.result.status);
    EXPECT_EQ(real.result.signal, simulated.result.signal);
    if (argv[0] != "wpiprobe") {
      EXPECT_EQ(real.transfers, simulated.transfers);
    }
    EXPECT_EQ(real.gpio, simulated.gpio);
    EXPECT_EQ(real.commands, simulated.commands);
    EXPECT_EQ(real.programmer.size(), simulated.programmer.size());
    return real;
  }

  Outcome runWith(const fs::path& bin, std::vector<std::string> argv, std::vector<std::string> env, int failAfter) {
    board->setRtcRegisters({registers_.begin(), registers_.end()});
    board->setRtcFailAfter(failAfter);
    board->clearTrace();
    fs::remove(board->commandLog());
    programmer::forget(board->dir());
    argv[0] = (bin / argv[0]).string();
    env.insert(env.end(), {"TZ=UTC", "LC_ALL=C"});
    const bench::RunOptions options = programmer::recorded({.argv = argv, .env = env, .cwd = hex_.path()});
    Outcome r{bench::run(*board, options), {}, {}, board->commands(), programmer::runs(board->dir())};
    for (const auto& e : board->trace()) {
      if (e.op.starts_with("i2c-") && e.op != "i2c-setup") r.transfers.push_back(simboard::describe(e));
      if (e.op.starts_with("gpio-") && e.op != "gpio-setup") r.gpio.push_back(simboard::describe(e));
    }
    // rtcpeek prints its descriptor, whose number is the process's own affair.
    if (fs::path(argv[0]).filename() == "rtcpeek") {
      const auto first = r.result.out.find('\n') + 1, second = r.result.out.find('\n', first);
      if (second != std::string::npos && r.result.out[first] != '-') r.result.out.replace(first, second - first, "FD");
    }
    return r;
  }

  bench::ScratchBoard board;

 private:
  simboard::Registers registers_{};
  bench::TempDir hex_;
};

const std::vector<std::vector<std::string>> kClockTools = {
    {"clockshow"}, {"clockshow", "-t"}, {"clockshow", "-s"}, {"clockshow", "-h"}, {"clockshow", "-x"},
    {"clocksync"}, {"clockprobe"},      {"rtcpeek"},         {"alarmclear"},
    {"clockset", "2026-12-08 10:15"},   {"alarmset", "07:30", "--weekday", "2"},      {"alarmset", "--off"},
    {"alarmset", "--in", "90"},         {"alarmset", "2026-12-31", "06:00"},          {"alarmshow"}};

// The help's first line; its whole text is clockshow's own tests' business.
const char* const kHelpStart = "Show RTC time\n";

}  // namespace

// The user is outside group gpio in every case here, as the real library's runs have no GPIO.
TEST_F(RealWiringPi, EachClockToolGivesTheSameResultsOnEachBus) {
  board->setGpioDenied(true);
  const std::vector<std::pair<RtcBus, std::string>> buses = {{RtcBus::kOk, "07/12/2026 09:05\n"},
                                                             {RtcBus::kNoBus, "NO RTC found!\n"},
                                                             {RtcBus::kDenied, "NO RTC found!\n"},
                                                             {RtcBus::kBusy, "NO RTC found!\n"},
                                                             {RtcBus::kNoChip, "NO RTC read failed!\n"}};
  for (const auto& [bus, dateLine] : buses) {
    SCOPED_TRACE(simboard::busName(bus));
    board->setRtcBus(bus);
    for (const auto& argv : kClockTools) same(argv);
    // What the documentation promises, with the real library.
    auto r = same({"clockshow"});
    EXPECT_EQ(r.result.out, dateLine);
    EXPECT_EQ(r.result.status, bus == RtcBus::kOk ? 0 : 255);
    r = same({"clockshow", "-h"});
    EXPECT_TRUE(r.result.out.starts_with(kHelpStart)) << r.result.out;
    EXPECT_EQ(r.result.status, 0);
    r = same({"clocksync"});
    EXPECT_EQ(r.commands.empty(), bus != RtcBus::kOk) << "the system clock set from a failed read";
  }
}

TEST_F(RealWiringPi, ATransferFailingPartWayGivesTheSameResults) {
  board->setGpioDenied(true);
  for (int good : {0, 3, 6}) {
    SCOPED_TRACE(std::to_string(good) + " good transfers");
    for (const auto& argv : kClockTools) {
      const auto [simulated, real] = both(argv, good);
      EXPECT_EQ(real.result.out, simulated.result.out) << argv[0];
      EXPECT_EQ(real.result.status, simulated.result.status) << argv[0];
      EXPECT_EQ(real.transfers.size(), simulated.transfers.size()) << argv[0];
    }
  }
}

TEST_F(RealWiringPi, WithoutGpioAccessEachGpioToolEndsTheSameBeforeDrivingAnything) {
  board->setGpioDenied(true);
  for (std::vector<std::string> argv : {std::vector<std::string>{"mcureset"}, {"buttonwatch"},
                                        {"mcuflash", "file.hex"}, {"boardflash", "file.hex"}}) {
    const auto r = same(argv);
    EXPECT_EQ(r.result.out, "NO GPIO access (add the user to group gpio, or run as root)\n") << argv[0];
    EXPECT_EQ(r.result.status, 255);
    EXPECT_TRUE(r.gpio.empty()) << argv[0] << " drove a pin";
    EXPECT_TRUE(r.programmer.empty()) << argv[0] << " started the programmer";
    EXPECT_TRUE(r.commands.empty());
  }
}

// wpiprobe's calls: the library's texts on standard error, its exits and its -1 returns.
TEST_F(RealWiringPi, TheSimulatedLibraryFailsExitsAndReturnsAsTheRealOne) {
  board->setGpioDenied(true);
  for (RtcBus bus : {RtcBus::kNoBus, RtcBus::kDenied, RtcBus::kBusy, RtcBus::kNoChip}) {
    SCOPED_TRACE(simboard::busName(bus));
    board->setRtcBus(bus);
    const bool opens = bus == RtcBus::kNoChip;
    // Without the return-code mode, and with WIRINGPI_CODES set but no setup to read it.
    for (std::vector<std::string> steps : {std::vector<std::string>{"wpiprobe", "i2c", "read", "0", "write", "14", "24"},
                                           {"wpiprobe", "codes", "i2c", "read", "0"}}) {
      const auto r = same(steps);
      EXPECT_EQ(r.result.status, opens ? 0 : 1);
      EXPECT_EQ(r.result.err.starts_with("Unable to "), !opens) << r.result.err;
    }
    const auto r = same({"wpiprobe", "codes", "setup", "i2c", "read", "0"});
    EXPECT_EQ(r.result.out, opens ? "setup -1\ni2c open\nread 0 -1\n" : "setup -1\ni2c -1\nread 0 -1\n");
    EXPECT_EQ(r.result.err, "");
  }
  board->setRtcBus(RtcBus::kOk);
  auto r = same({"wpiprobe", "gpio"});
  EXPECT_EQ(r.result.status, 1);
  EXPECT_TRUE(r.result.err.starts_with("wiringPiSetup: Unable to open /dev/mem or /dev/gpiomem: ")) << r.result.err;
  r = same({"wpiprobe", "codes", "setup", "setup", "gpio", "i2c", "read", "0"});
  EXPECT_EQ(r.result.out, "setup -1\nsetup 0\ngpio 0\ni2c open\nread 0 65\n");
  r = same({"wpiprobe", "codes", "gpio", "pin", "23"});
  EXPECT_EQ(r.result.signal, SIGSEGV) << "the pin call after a failed setup";
  r = same({"wpiprobe", "pin", "23"});
  EXPECT_EQ(r.result.status, 1) << "pinMode before any setup";
}

// As the simulated one's (simboard's tests), the real delay is one sleep that a signal ends.
TEST_F(RealWiringPi, ACaughtSignalEndsADelay) {
  bench::Process p(*board, {.argv = {(kRealBin / "wpiprobe").string(), "delay", "3000"}, .env = {preload()}});
  ASSERT_TRUE(p.waitOutput("delay 3000\n", 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  p.signal(SIGUSR1);
  const auto r = p.wait();
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.out.substr(0, 16), "delay 3000\ntook ");
  EXPECT_LT(std::stoi(r.out.substr(16)), 1500);
}
