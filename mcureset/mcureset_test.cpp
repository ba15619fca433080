#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "bench.h"

namespace {

const std::vector<std::string> kPulse = {"gpio-setup 0", "gpio-mode 23 1", "gpio-write 23 0", "gpio-write 23 1",
                                         "gpio-write 23 0"};

struct Pulse {
  double lowMs = 0;
  double highMs = 0;
  std::int64_t fallUs = 0;  // when the line went low again
};

class Mcureset : public ::testing::Test {
 protected:
  bench::RunResult reset(std::vector<std::string> argv) {
    board->clearTrace();
    bench::RunOptions runOptions;
    runOptions.argv = std::move(argv);
    return bench::run(*board, runOptions);
  }

  // The whole GPIO traffic of a run is the one pulse, from one process.
  Pulse checkPulse() {
    std::vector<std::string> ops;
    std::vector<simboard::TraceEvent> gpio;
    for (const auto& e : board->trace()) {
      ops.push_back(simboard::describe(e));
      gpio.push_back(e);
    }
    EXPECT_EQ(ops, kPulse);
    if (gpio.size() != kPulse.size()) return {};
    for (const auto& e : gpio) EXPECT_EQ(e.pid, gpio[0].pid);
    const auto pin = board->pin(23);
    EXPECT_EQ(pin.mode, 1);
    EXPECT_EQ(pin.level, 0);
    return {(gpio[3].us - gpio[2].us) / 1000.0, (gpio[4].us - gpio[3].us) / 1000.0, gpio[4].us};
  }

  // Until the tool has driven the reset line to `level`, at most 3 s.
  bool writeOfLevel(int level) {
    return bench::waitFor(
        [&] {
          for (const auto& e : board->trace("gpio-write"))
            if (e.args == std::vector<int>{23, level}) return true;
          return false;
        },
        3000);
  }

  bench::ScratchBoard board;
};

}  // namespace

TEST_F(Mcureset, PulsesTheLineThenSaysSo) {
  auto r = reset({"mcureset"});
  EXPECT_EQ(r.out, "Orvix reset!\n");
  EXPECT_EQ(r.status, 0);
  const auto p = checkPulse();
  EXPECT_GE(p.lowMs, 500.0);
  EXPECT_LT(p.lowMs, 550.0);
  EXPECT_GE(p.highMs, 500.0);
  EXPECT_LT(p.highMs, 550.0);
  EXPECT_GE(r.seconds, 1.0);
  EXPECT_LT(r.seconds, 1.5);
}

TEST_F(Mcureset, ArgumentsChangeNothing) {
  for (std::vector<std::string> argv :
       {std::vector<std::string>{"mcureset", "-x"}, {"mcureset", "file.hex", "0", "v"}, {"mcureset", ""}}) {
    auto r = reset(argv);
    EXPECT_EQ(r.out, "Orvix reset!\n");
    EXPECT_EQ(r.status, 0);
    const auto p = checkPulse();
    EXPECT_GE(p.lowMs, 500.0);
    EXPECT_GE(p.highMs, 500.0);
  }
}

TEST_F(Mcureset, HelpDrivesNothing) {
  board->clearTrace();
  for (const char* word : {"-h", "--help"}) {
    auto r = reset({"mcureset", word});
    EXPECT_EQ(r.out, "Reset the Orvix microcontroller: one pulse on its reset line (GPIO 23)\nformat : mcureset [-h]\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(r.seconds, 0.5);
  }
  EXPECT_TRUE(board->trace().empty());
}

TEST_F(Mcureset, FullLowPhaseWhateverTheLineWasBefore) {
  for (int before : {1, 0}) {
    board->gpioMode(23, 1);
    board->gpioWrite(23, before);
    auto r = reset({"mcureset"});
    EXPECT_EQ(r.status, 0);
    const auto p = checkPulse();
    EXPECT_GE(p.lowMs, 500.0) << "line was " << before;
    EXPECT_LT(p.lowMs, 550.0);
  }
}

// With its output unbuffered, the line shows when the tool prints it: only once the
// pulse is over and the line is low again.
TEST_F(Mcureset, SaysSoOnlyOnceTheLineIsLowAgain) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  // stdbuf preloads its library ahead of the sanitizer's runtime, which that allows.
  const std::string options = std::string(asan ? asan : "") + (asan ? ":" : "") + "verify_asan_link_order=0";
  bench::RunOptions runOptions;
  runOptions.argv = {"stdbuf", "-o0", "mcureset"};
  runOptions.env = {"ASAN_OPTIONS=" + options};
  board->clearTrace();
  auto r = bench::run(*board, runOptions);
  EXPECT_EQ(r.out, "Orvix reset!\n");
  EXPECT_EQ(r.status, 0);
  const auto p = checkPulse();
  ASSERT_FALSE(r.outChunks.empty());
  EXPECT_GE(r.outChunks.front().first, p.fallUs);
}

TEST_F(Mcureset, ResetTimingsOverFiveRuns) {
  std::vector<double> low, high;
  for (int i = 0; i < 5; ++i) {
    auto r = reset({"mcureset"});
    EXPECT_EQ(r.status, 0);
    const auto p = checkPulse();
    low.push_back(p.lowMs);
    high.push_back(p.highMs);
  }
  const double lowMedian = bench::reportMedian("mcureset low phase (500 ms)", low);
  const double highMedian = bench::reportMedian("mcureset high phase (500 ms)", high);
  EXPECT_GE(lowMedian, 500.0);
  EXPECT_LT(lowMedian, 530.0);
  EXPECT_GE(highMedian, 500.0);
  EXPECT_LT(highMedian, 530.0);
}

TEST_F(Mcureset, WithoutGpioAccessSaysSoAndDrivesNothing) {
  board->setGpioDenied(true);
  auto r = reset({"mcureset"});
  EXPECT_EQ(r.out, "NO GPIO access (add the user to group gpio, or run as root)\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(r.err.empty()) << r.err;
  EXPECT_EQ(simboard::describe(board->trace()), std::vector<std::string>{"gpio-setup -1"});
}

// Interrupted in either phase of the pulse, the tool lowers the line at once and ends with
// 128 + the signal's number, saying nothing.
TEST_F(Mcureset, AnInterruptedPulseEndsWithTheLineLow) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    for (int phase : {0, 1}) {
      SCOPED_TRACE(std::string(strsignal(sig)) + (phase ? ", line high" : ", line low"));
      board->clearTrace();
      bench::Process p(*board, {.argv = {"mcureset"}});
      ASSERT_TRUE(writeOfLevel(phase));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const std::int64_t sent = bench::monotonicMicros();
      p.signal(sig);
      auto r = p.wait();
      EXPECT_EQ(r.status, 128 + sig);
      EXPECT_EQ(r.out, "");
      std::vector<std::string> ops;
      for (const auto& e : board->trace()) ops.push_back(simboard::describe(e));
      std::vector<std::string> want(kPulse.begin(), kPulse.begin() + 3 + phase);
      want.push_back("gpio-write 23 0");
      EXPECT_EQ(ops, want);
      EXPECT_LT(board->trace().back().us - sent, 100000) << "the line fell at the signal, not after the phase";
      EXPECT_EQ(board->pin(23).level, 0);
      EXPECT_EQ(board->pin(23).mode, 1);
    }
  }
}

// A signal the tool was started with ignored (a background job, nohup) stays ignored.
TEST_F(Mcureset, AnIgnoredSignalStaysIgnored) {
  board->clearTrace();
  bench::Process p(*board, {.argv = {"env", "--ignore-signal=INT", "mcureset"}});
  ASSERT_TRUE(writeOfLevel(1));
  p.signal(SIGINT);
  auto r = p.wait();
  EXPECT_EQ(r.out, "Orvix reset!\n");
  EXPECT_EQ(r.status, 0);
  checkPulse();
}
