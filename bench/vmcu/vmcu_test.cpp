// The virtual chip itself: boot, reset coupling, the wire, real time, uploads.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

#include "bench.h"
#include "vmcu.h"

extern char** environ;

namespace {

using bench::ScratchBoard;
using bench::secondsSince;
using bench::sleepMs;
using bench::TestPort;
using vmcu::Chip;

void driveReset(ScratchBoard& board, int level) {
  board->gpioMode(23, 1);
  board->gpioWrite(23, level);
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

long uptimeMs(TestPort& port) {
  const std::string answer = port.ask("UPTIME\n");
  return answer.empty() ? -1 : std::stol(answer);
}

TEST(ChipBoot, PowerOnGoesStraightToTheSketch) {
  ScratchBoard board;
  const auto started = bench::monotonicMicros();
  Chip chip(*board, vmcu::sketch("LinkTest"));
  // optiboot waits for a programmer only after an external reset.
  ASSERT_TRUE(chip.waitStream("lost", "LinkTest started\\n", 3000));
  EXPECT_LT(secondsSince(started), 0.8);
  TestPort port(chip.port(), B9600);
  EXPECT_EQ(port.ask("?\n"), "LinkTest\n");
  EXPECT_EQ(count(chip.log(), " reset\n"), 0);
}

TEST(ChipBoot, ARisingResetLineEntersOptibootThenTheSketch) {
  ScratchBoard board;
  driveReset(board, 0);
  Chip chip(*board, vmcu::sketch("LinkTest"));
  ASSERT_TRUE(chip.waitStream("lost", "LinkTest started\\n", 3000));
  TestPort port(chip.port(), B115200);
  driveReset(board, 1);
  const auto rose = bench::monotonicMicros();
  // STK_GET_SYNC, CRC_EOP: optiboot answers STK_INSYNC, STK_OK at 115200 baud.
  port.send("0 ");
  EXPECT_EQ(port.readUntil("\x14\x10", 1500), "\x14\x10");
  port.setSpeed(B9600);
  // Left alone, optiboot's watchdog starts the sketch about a second later.
  EXPECT_EQ(port.readUntil("LinkTest started\n", 3000), "LinkTest started\n");
  const double boot = secondsSince(rose);
  EXPECT_GT(boot, 0.9);
  EXPECT_LT(boot, 2.5);
}

// A reset restarts the sketch's clock, and the sketch answers only after optiboot's
// second; an uptime that goes on growing shows the chip ran on.
TEST(ChipBoot, OnlyTheRiseOfTheLineResets) {
  ScratchBoard board;
  Chip chip(*board, vmcu::sketch("LinkTest"));
  ASSERT_TRUE(chip.waitStream("lost", "LinkTest started\\n", 3000));
  TestPort port(chip.port(), B9600);
  const long before = uptimeMs(port);
  ASSERT_GT(before, 0);

  driveReset(board, 0);  // a line that falls or stays low leaves the chip running
  sleepMs(300);
  EXPECT_GT(uptimeMs(port), before);
  EXPECT_EQ(count(chip.log(), " reset\n"), 0);

  driveReset(board, 1);
  EXPECT_EQ(port.readUntil("LinkTest started\n", 3000), "LinkTest started\n");
  const long risen = uptimeMs(port);
  EXPECT_LT(risen, 200);
  sleepMs(300);  // held high: the chip runs
  const long held = uptimeMs(port);
  EXPECT_GT(held, risen);
  driveReset(board, 0);
  driveReset(board, 0);
  sleepMs(300);
  EXPECT_GT(uptimeMs(port), held);
  EXPECT_EQ(count(chip.log(), " reset\n"), 1);
}

TEST(ChipBoot, AResetPulseFromTheBench) {
  ScratchBoard board;
  Chip chip(*board, vmcu::sketch("LinkTest"));
  ASSERT_TRUE(chip.waitStream("lost", "LinkTest started\\n", 3000));
  TestPort port(chip.port(), B9600);
  chip.reset();
  EXPECT_EQ(port.readUntil("LinkTest started\n", 3000), "LinkTest started\n");
}

TEST(ChipBoot, ABadImageIsRefused) {
  ScratchBoard board;
  bench::TempDir dir;
  const auto hex = dir.path() / "bad.hex";
  std::ofstream(hex) << ":100000000C9450000C9478000C9478000C94780080\n:00000001FF\n";
  bench::RunOptions runOptions;
  runOptions.argv = {vmcu::program().string(), "--sketch", hex.string()};
  runOptions.standIns = false;
  const auto result = bench::run(*board, runOptions);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "vmcu: " + hex.string() + ":1: bad checksum\n");
  EXPECT_EQ(result.out, "");
}

TEST(ChipBoot, ItEndsWithTheProcessThatStartedIt) {
  ScratchBoard board;
  pid_t sleeper = -1;
  char sleep[] = "sleep";
  char second[] = "1";
  char* argv[] = {sleep, second, nullptr};
  ASSERT_EQ(posix_spawnp(&sleeper, "sleep", nullptr, nullptr, argv, environ), 0);
  bench::RunOptions runOptions;
  runOptions.argv = {vmcu::program().string(), "--sketch", vmcu::sketch("LinkTest").string(), "--parent",
                     std::to_string(sleeper)};
  runOptions.standIns = false;
  const auto result = bench::run(*board, runOptions);
  waitpid(sleeper, nullptr, 0);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NEAR(result.seconds, 1.0, 0.5);
  EXPECT_EQ(result.out.rfind("port /dev/pts/", 0), 0u) << result.out;
}

TEST(ChipBoot, ControlLinesOutOfRangeAreRefused) {
  ScratchBoard board;
  Chip chip(*board, vmcu::sketch("LinkTest"));
  EXPECT_THROW(chip.setPin("D14", 1), std::invalid_argument);
  EXPECT_THROW(chip.setPin("A6", 0), std::invalid_argument);
  EXPECT_THROW(chip.setPin("D3", 2), std::invalid_argument);
  EXPECT_THROW(chip.setAdc(8, 100), std::invalid_argument);
  EXPECT_THROW(chip.setAdc(0, 5001), std::invalid_argument);
  chip.setPin("A5", 1);
  chip.setAdc(7, 5000);
  EXPECT_TRUE(chip.waitLog(" pin A5 1\n", 1000)) << chip.log();
  EXPECT_TRUE(chip.waitLog(" adc 7 5000\n", 1000)) << chip.log();
}

TEST(ChipWire, WhatTheChipSendsWhileThePortIsClosedIsLost) {
  ScratchBoard board;
  Chip chip(*board, vmcu::sketch("LinkTest"));
  sleepMs(300);  // the start-up line has gone out by now, to no one
  TestPort port(chip.port(), B9600);
  EXPECT_EQ(port.readFor(300), "");
  EXPECT_EQ(port.ask("?\n"), "LinkTest\n");
  EXPECT_NE(vmcu::stream(chip.log(), {"lost"}).find("LinkTest started\\n"), std::string::npos) << chip.log();
}

TEST(ChipWire, WhatNoOneReadIsGoneAtTheLastClose) {
  ScratchBoard board;
  Chip chip(*board, vmcu::sketch("LinkTest"));
  {
    TestPort port(chip.port(), B9600);
    port.send("?\n");
    sleepMs(300);
  }
  // The chip notices the close within its next millisecond; the next program
  // comes later than that, as a process does.
  sleepMs(20);
  TestPort again(chip.port(), B9600);
  EXPECT_EQ(again.readFor(300), "") << chip.log();
}

TEST(ChipWire, BytesAtAnotherRateComeOutGarbled) {
  ScratchBoard board;
  Chip chip(*board, vmcu::sketch("LinkTest"));
  TestPort port(chip.port(), B38400);
  port.send("?\n");  // the sketch at 9600 hears noise and does not answer
  const std::string noise = port.readFor(400);
  EXPECT_EQ(noise.find("LinkTest"), std::string::npos);
  port.setSpeed(B9600);
  port.send("LATER 300 hello\n");
  sleepMs(100);
  port.setSpeed(B115200);  // the answer at 9600 is heard at 115200
  const std::string heard = port.readFor(600);
  EXPECT_FALSE(heard.empty());
  EXPECT_EQ(heard.find("hello"), std::string::npos);
  EXPECT_EQ(heard.find('\n'), std::string::npos);
  port.setSpeed(B9600);
  EXPECT_EQ(port.ask("?\n"), "LinkTest\n");
}

TEST(ChipWire, OnABenchLineThroughItsSlavePath) {
  ScratchBoard board;
  bench::Line line;
  Chip chip(*board, line, vmcu::sketch("LinkTest"));
  EXPECT_EQ(chip.port(), line.slavePath());
  ASSERT_TRUE(chip.waitStream("lost", "LinkTest started\\n", 3000));
  TestPort port(line.slavePath(), B9600);
  EXPECT_EQ(port.ask("?\n"), "LinkTest\n");
  EXPECT_TRUE(chip.waitStream("pi", "?\\n", 1000)) << chip.log();
  EXPECT_TRUE(chip.waitStream("chip", "LinkTest\\n", 1000)) << chip.log();
}

TEST(ChipTime, TheChipKeepsToTheWallClock) {
  ScratchBoard board;
  Chip chip(*board, vmcu::sketch("LinkTest"));
  const auto c0 = chip.cycles();
  const auto t0 = bench::monotonicMicros();
  sleepMs(3000);
  const auto c1 = chip.cycles();
  const double wall = secondsSince(t0);
  const double simulated = static_cast<double>(c1 - c0) / 16e6;
  // Ahead by what it catches up on after a delay; behind by at most what a loaded
  // machine withholds beyond the quarter second that the chip catches up on.
  EXPECT_LT(simulated / wall, 1.1) << simulated << " s simulated in " << wall << " s";
  EXPECT_GT(simulated / wall, 0.85) << simulated << " s simulated in " << wall << " s";
}

TEST(ChipTime, IdleCpuOfTheSimulator) {
  ScratchBoard board;
  Chip chip(*board, vmcu::sketch("LinkTest"));
  sleepMs(500);
  const double cpu0 = chip.cpuSeconds();
  const auto t0 = bench::monotonicMicros();
  sleepMs(3000);
  const double share = (chip.cpuSeconds() - cpu0) / secondsSince(t0);
  std::printf("idle CPU of the simulator: %.1f %% of one core\n", share * 100);
  RecordProperty("idle_cpu_percent", std::to_string(share * 100));
  EXPECT_LT(share, 0.5);
}

// An upload as the flashing tools make it: the line low, then high for the whole
// run of Debian's avrdude on the port, then low.
bench::RunResult upload(ScratchBoard& board, const Chip& chip, const std::string& sketch) {
  driveReset(board, 0);
  sleepMs(100);
  driveReset(board, 1);
  bench::RunOptions runOptions;
  runOptions.argv = {"/usr/bin/avrdude", "-C", "/etc/avrdude.conf", "-p", "atmega328p", "-c", "arduino",
                     "-P", "/dev/ttyAMA0", "-b", "115200", "-D", "-U", "flash:w:" + vmcu::sketch(sketch).string() + ":i"};
  runOptions.lines["/dev/ttyAMA0"] = chip.port();
  runOptions.timeoutMs = 30000;
  auto result = bench::run(*board, runOptions);
  driveReset(board, 0);
  return result;
}

TEST(ChipUpload, AvrdudeWritesANewSketchThroughOptiboot) {
  ScratchBoard board;
  bench::Line line;
  Chip chip(*board, line, vmcu::sketch("WaitSketch"));
  ASSERT_TRUE(chip.waitStream("lost", "WaitSketch started\\n", 3000));
  {
    TestPort port(line.slavePath(), B9600);
    ASSERT_EQ(port.ask("?\n"), "WaitSketch\n");
  }
  const auto result = upload(board, chip, "LinkTest");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("bytes of flash verified"), std::string::npos) << result.err;
  std::printf("avrdude took %.2f s\n", result.seconds);
  sleepMs(300);  // the new sketch's start-up line goes out

  TestPort port(line.slavePath(), B9600);
  EXPECT_EQ(port.ask("?\n"), "LinkTest\n");
}

TEST(ChipUpload, OneAfterAnother) {
  ScratchBoard board;
  Chip chip(*board, vmcu::sketch("LinkTest"));
  for (const std::string sketch : {"WaitSketch", "LinkTest"}) {
    const auto result = upload(board, chip, sketch);
    ASSERT_EQ(result.status, 0) << result.err;
    sleepMs(300);
    TestPort port(chip.port(), B9600);
    EXPECT_EQ(port.ask("?\n", 2000), sketch + "\n");
  }
}

// A blank flash runs into nothing sensible and simavr stops the chip; the reset of an
// upload brings it back into optiboot all the same.
TEST(ChipUpload, IntoABlankChip) {
  ScratchBoard board;
  Chip chip(*board);
  ASSERT_TRUE(chip.waitLog(" stopped, until a reset\n", 3000)) << chip.log();
  const auto result = upload(board, chip, "LinkTest");
  ASSERT_EQ(result.status, 0) << result.err;
  sleepMs(300);
  TestPort port(chip.port(), B9600);
  EXPECT_EQ(port.ask("?\n"), "LinkTest\n");
}

}  // namespace
