// vboard's microcontroller commands as a person uses them, each a process on a board
// folder, and the demo tour that is built on them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "vmcu.h"

namespace {

namespace fs = std::filesystem;

// The chip that `vboard mcu start` leaves running is orphaned when vboard ends. As the
// subreaper of the test, the test process gets it back as its child, reaps it, and so
// knows for sure when it has ended.
class Reaper {
 public:
  Reaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
  // True once process `pid` has ended (reaped here, or not ours at all and gone).
  static bool ended(pid_t pid, int ms) {
    return bench::waitFor(
        [&] {
          const pid_t got = waitpid(pid, nullptr, WNOHANG);
          return got == pid || (got < 0 && kill(pid, 0) != 0);
        },
        ms, 10);
  }
};

// The pid in "microcontroller running: pid N, serial line PATH", or -1.
pid_t startedPid(const std::string& out) {
  const std::string head = "microcontroller running: pid ", tail = ", serial line /dev/pts/";
  const auto at = out.find(head);
  if (at == std::string::npos) return -1;
  const auto digits = at + head.size();
  const auto comma = out.find_first_not_of("0123456789", digits);
  if (comma == digits || comma == std::string::npos || out.compare(comma, tail.size(), tail) != 0) return -1;
  const auto end = out.find_first_not_of("0123456789", comma + tail.size());
  if (end == comma + tail.size() || end == std::string::npos || out[end] != '\n') return -1;
  return std::stoi(out.substr(digits, comma - digits));
}

class VboardMcu : public ::testing::Test {
 protected:
  ~VboardMcu() override {
    // Whatever a failed test left: stopped through vboard itself, then reaped.
    const pid_t pid = chipPid();
    if (pid > 0 && vboard({"mcu", "stop"}).status == 0) Reaper::ended(pid, 5000);
  }

  bench::RunResult vboard(std::vector<std::string> args, int timeoutMs = 30000) {
    args.insert(args.begin(), {(bench::toolDir().parent_path() / "vboard").string(), "--board", dir().string()});
    return bench::run(host_.get(), {.argv = args, .timeoutMs = timeoutMs});
  }
  fs::path dir() const { return tmp_.path() / "board"; }
  pid_t chipPid() const {
    std::ifstream in(dir() / "mcu" / "chip");
    std::string key;
    pid_t pid = -1;
    in >> key >> pid;
    return pid;
  }
  std::string log() { return vboard({"mcu", "log"}).out; }
  // Until the chip's lost bytes (sent with no port open) hold `text`.
  bool waitLost(const std::string& text, int ms) {
    return bench::waitFor([&] { return vmcu::stream(log(), {"lost"}).find(text) != std::string::npos; }, ms, 50);
  }

  Reaper reaper_;
  bench::TempDir tmp_;
  bench::ScratchBoard host_;  // only where vboard itself runs
};

TEST_F(VboardMcu, StartToolsOnItsLinePinsResetStop) {
  auto r = vboard({"mcu", "start", "--sketch", vmcu::sketch("LinkTest").string()});
  ASSERT_EQ(r.status, 0) << r.err;
  const pid_t pid = startedPid(r.out);
  ASSERT_GT(pid, 0) << r.out;
  EXPECT_EQ(chipPid(), pid);
  r = vboard({"mcu", "start"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vboard: the microcontroller already runs (pid " + std::to_string(pid) + "); 'vboard mcu stop' first\n");
  ASSERT_TRUE(waitLost("LinkTest started\\n", 3000)) << log();

  r = vboard({"run", "--", "sketchcheck", "LinkTest"});
  EXPECT_EQ(r.out, "YES\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(vboard({"run", "--", "sh", "-c", "test -c /dev/ttyAMA0 && test -c /dev/ttyS0 && test -c /dev/Arduino"}).status,
            0);
  // A scripted sketch asked for takes the names instead.
  r = vboard({"run", "--line", "/dev/ttyS0", "--answer", "?=Scripted\\n", "--", "whichsketch"});
  EXPECT_EQ(r.out, "Scripted\n\n");

  EXPECT_EQ(vboard({"pin", "D6", "1"}).status, 0);
  EXPECT_EQ(vboard({"adc", "2", "3000"}).status, 0);
  r = vboard({"pin", "D14", "1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "vboard: usage: pin D0-D13|A0-A5 0|1\nTry 'vboard --help'.\n");
  EXPECT_EQ(vboard({"adc", "2", "5001"}).status, 2);
  EXPECT_EQ(vboard({"pin", "D6"}).status, 2);
  EXPECT_EQ(vboard({"pin", "D6 1\nreset", "1"}).status, 2);  // one command a line

  // The reset line is the board's GPIO 23, which the tools drive.
  r = vboard({"run", "--", "mcureset"});
  EXPECT_EQ(r.out, "Orvix reset!\n");
  const std::string after = log();
  EXPECT_NE(after.find(" pin D6 1\n"), std::string::npos) << after;
  EXPECT_NE(after.find(" adc 2 3000\n"), std::string::npos) << after;
  EXPECT_EQ(after.find(" pin D14"), std::string::npos) << after;
  EXPECT_EQ(after.find(" reset\n"), after.rfind(" reset\n")) << "one reset: " << after;
  EXPECT_NE(after.find(" reset\n"), std::string::npos) << after;

  r = vboard({"mcu", "stop"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Reaper::ended(pid, 5000));
  EXPECT_FALSE(fs::exists(dir() / "mcu" / "chip"));
  EXPECT_FALSE(fs::exists(dir() / "mcu" / "control"));
  EXPECT_EQ(vboard({"run", "--", "sh", "-c", "test -e /dev/ttyS0"}).status, 1);
  r = vboard({"pin", "D6", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vboard: no microcontroller runs on this board (see 'vboard mcu start')\n");
  EXPECT_EQ(vboard({"mcu", "stop"}).status, 1);
  EXPECT_NE(log().find(" pin D6 1\n"), std::string::npos) << "the log outlives the chip";
}

// On the Pi as orvix-setup leaves it, Debian's avrdude uploads as it does on a Pi: the line
// answers its modem-control requests as a UART does, so it reports no OS error.
TEST_F(VboardMcu, ABlankChipTakesAnUploadThroughRun) {
  auto r = vboard({"mcu", "start"});
  ASSERT_EQ(r.status, 0) << r.err;
  const pid_t pid = startedPid(r.out);
  r = vboard({"run", "--", "mcuflash", vmcu::sketch("WaitSketch").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("OS error"), std::string::npos) << r.err;
  const auto trace = vboard({"trace"}).out;
  EXPECT_NE(trace.find(" serial-modem 0 0\n"), std::string::npos) << "avrdude's DTR/RTS pulse: " << trace;
  ASSERT_TRUE(waitLost("WaitSketch started\\n", 3000)) << log();
  r = vboard({"run", "--", "whichsketch"});
  EXPECT_EQ(r.out, "WaitSketch\n\n");
  EXPECT_EQ(vboard({"mcu", "stop"}).status, 0);
  EXPECT_TRUE(Reaper::ended(pid, 5000));
}

// Two starts at once: one chip, and the other start says it runs.
TEST_F(VboardMcu, StartsAtOnceMakeOneChip) {
  ASSERT_EQ(vboard({"rtc", "show"}).status, 0);
  const std::string vboardPath = (bench::toolDir().parent_path() / "vboard").string();
  std::optional<bench::Process> starts[3];
  for (auto& start : starts)  // each waits for a word on its input, so that all go at once
    start.emplace(host_.get(), bench::RunOptions{.argv = {"/bin/sh", "-c", "read go; exec \"$0\" --board \"$1\" mcu start",
                                                          vboardPath, dir().string()},
                                                 .keepInputOpen = true,
                                                 .timeoutMs = 30000});
  for (auto& start : starts) start->write("go\n");
  std::vector<pid_t> chips;
  int refused = 0;
  for (auto& start : starts) {
    const auto r = start->wait();
    if (r.status == 0) chips.push_back(startedPid(r.out));
    if (r.status == 1 && r.err.starts_with("vboard: the microcontroller already runs (pid ")) ++refused;
  }
  for (const pid_t chip : chips)  // more than one: the extra ones are not the board's, and must go too
    if (chip > 0 && chip != chipPid() && kill(chip, SIGKILL) == 0) Reaper::ended(chip, 5000);
  ASSERT_EQ(chips.size(), 1u);
  EXPECT_EQ(refused, 2);
  EXPECT_EQ(chipPid(), chips[0]);
  EXPECT_EQ(vboard({"mcu", "stop"}).status, 0);
  EXPECT_TRUE(Reaper::ended(chips[0], 5000));
}

TEST_F(VboardMcu, AChipThatCannotStart) {
  const fs::path hex = tmp_.path() / "bad.hex";
  std::ofstream(hex) << ":100000000C9450000C9478000C9478000C94780080\n:00000001FF\n";
  const auto r = vboard({"mcu", "start", "--sketch", hex.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vboard: the microcontroller did not start\nvmcu: " + hex.string() + ":1: bad checksum\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(fs::exists(dir() / "mcu" / "chip"));
  EXPECT_EQ(vboard({"mcu", "start", "--sketch"}).status, 2);
  EXPECT_EQ(vboard({"mcu", "frobnicate"}).status, 2);
}

// A chip file whose pid is now another process: that process is neither the board's chip
// nor signalled, and a new chip starts.
TEST_F(VboardMcu, AStaleChipFileIsNoChip) {
  ASSERT_EQ(vboard({"rtc", "show"}).status, 0);  // the board, made by vboard
  fs::create_directories(dir() / "mcu");
  std::ofstream(dir() / "mcu" / "chip") << "pid " << getpid() << "\nport /dev/pts/9999\n";
  EXPECT_EQ(vboard({"pin", "D6", "1"}).status, 1);
  EXPECT_EQ(vboard({"run", "--", "sh", "-c", "test -e /dev/ttyS0"}).status, 1);
  auto r = vboard({"mcu", "start"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(chipPid(), startedPid(r.out));
  EXPECT_EQ(vboard({"mcu", "stop"}).status, 0);
  EXPECT_TRUE(Reaper::ended(startedPid(r.out), 5000));
  std::ofstream(dir() / "mcu" / "chip") << "pid " << getpid() << "\nport /dev/pts/9999\n";
  EXPECT_EQ(vboard({"mcu", "stop"}).status, 1);  // and this process lives on to say so
}

TEST_F(VboardMcu, Help) {
  const auto r = vboard({"--help"});
  for (const char* line : {"  mcu start [--sketch FILE.hex]\n", "  mcu stop  ", "  mcu log  ", "  pin PIN LEVEL  ",
                           "  adc N MILLIVOLTS  "})
    EXPECT_NE(r.out.find(line), std::string::npos) << line;
}

// --- the demo tour ---

class Tour : public ::testing::Test {
 protected:
  ~Tour() override {
    // A tour killed outright cannot stop its chip; the test, its reaper, can.
    if (chip_ > 0 && waitpid(chip_, nullptr, WNOHANG) == 0) {
      kill(chip_, SIGKILL);
      waitpid(chip_, nullptr, 0);
    }
    if (!board_.empty()) fs::remove_all(board_);
  }

  // Starts the tour and notes its chip and the chip's board folder.
  void start() {
    tour_.emplace(host_.get(), bench::RunOptions{.argv = {"/bin/bash", TOUR, BUILD_DIR}, .timeoutMs = 120000});
    ASSERT_TRUE(tour_->waitOutput("microcontroller running", 20000)) << tour_->out();
    chip_ = startedPid(tour_->out());
    ASSERT_GT(chip_, 0) << tour_->out();
    std::ifstream in("/proc/" + std::to_string(chip_) + "/cmdline");
    std::vector<std::string> args;
    for (std::string a; std::getline(in, a, '\0');) args.push_back(a);
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
      if (args[i] == "--board") board_ = args[i + 1];
    ASSERT_FALSE(board_.empty());
  }
  // The tour has ended: its chip is gone and so is its board.
  void checkCleanedUp() {
    EXPECT_TRUE(Reaper::ended(chip_, 5000));
    chip_ = -1;
    EXPECT_FALSE(fs::exists(board_)) << board_;
  }

  Reaper reaper_;
  bench::ScratchBoard host_;
  std::optional<bench::Process> tour_;
  pid_t chip_ = -1;
  fs::path board_;
};

TEST_F(Tour, EachStepAndWhatItPrinted) {
  start();
  const auto r = tour_->wait();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  checkCleanedUp();
  for (const char* shown :
       {"$ vboard run -- clockshow\n07/12/2026 09:05\n  (status 0)\n", "$ vboard run -- mcuflash LinkTest.hex\n",
        "$ vboard run -- sketchcheck LinkTest\nYES\n  (status 0)\n",
        "$ vboard run -- whichsketch\nLinkTest\n\n  (status 0)\n",
        "$ vboard run -- sketchquery ECHO hello from the Pi\nhello from the Pi\n  (status 0)\n",
        "Uploading...\n", "  (status 254)\n", "OK Pin changed!\n  (status 0)\n", "OK value reached!\n",
        "command: uname -s\n> OK\n<GetAnswer\nLinux\n<End>\n  (status 0)\n", "Orvix reset!\n  (status 0)\n",
        " lost \"CommandSketch started\\n\"\n", "$ vboard mcu stop\n  (status 0)\n"})
    EXPECT_NE(r.out.find(shown), std::string::npos) << shown << "\n--- in ---\n" << r.out;
  EXPECT_EQ(r.out.find("(status 124)"), std::string::npos) << r.out;
}

// Killed halfway, it still stops its chip and removes its board.
TEST_F(Tour, CleansUpWhenKilled) {
  start();
  ASSERT_TRUE(tour_->waitOutput("== Query it ==", 30000)) << tour_->out();
  tour_->signal(SIGTERM);
  const auto r = tour_->wait();
  EXPECT_EQ(r.status, 143) << r.out << r.err;
  checkCleanedUp();
}

}  // namespace
