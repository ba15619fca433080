// The outside programs missing or killed mid-run: the programmer (the recording avrdude), the
// loader that pinwait runs, and the window program (the recording xterm). What is documented
// for each is said above its cases.
#include <signal.h>

#include <cstring>
#include <map>
#include <sstream>

#include "bench.h"
#include "standins/xterm-recorder.h"

namespace {

using campaign::expectSound;
namespace programmer = bench::programmer;
namespace fs = std::filesystem;

const std::string kAnnouncement = std::string("\nNo sketch ") + bench::kWaitSketch + ". Uploading...\n";

class OutsideFaults : public ::testing::Test {
 protected:
  void SetUp() override { std::ofstream(hex_.path() / "file.hex") << ":00000001FF\n"; }
  fs::path hexFile() const { return hex_.path() / "file.hex"; }
  bench::RunOptions withProgrammer(std::vector<std::string> argv) const {
    return programmer::recorded({.argv = std::move(argv), .timeoutMs = 15000});
  }
  // The programmer of this run once it has started; its pid is a process of the test's run.
  programmer::Run waitProgrammer() const {
    bench::waitFor([&] { return !programmer::runs(board.get().dir()).empty(); }, 5000);
    const auto runs = programmer::runs(board.get().dir());
    return runs.empty() ? programmer::Run{} : runs.back();
  }
  // The reset line's writes, oldest first: time and level.
  std::vector<std::pair<std::int64_t, int>> resetWrites() const {
    std::vector<std::pair<std::int64_t, int>> writes;
    for (const auto& e : board.get().trace())
      if (e.op == "gpio-write" && e.args[0] == 23) writes.emplace_back(e.us, e.args[1]);
    return writes;
  }
  // Low, high for the programmer, and low again only once it had gone, at or after `goneUs`.
  void expectLineLoweredAfter(std::int64_t goneUs) const {
    const auto writes = resetWrites();
    ASSERT_GE(writes.size(), 3u);
    EXPECT_EQ(writes[writes.size() - 3].second, 0);
    EXPECT_EQ(writes[writes.size() - 2].second, 1);
    EXPECT_EQ(writes.back().second, 0);
    EXPECT_GE(writes.back().first, goneUs) << "the line fell before the programmer had gone";
  }
  bench::TempDir hex_;
  bench::ScratchBoard board;
};

double msBetween(std::int64_t fromUs, std::int64_t toUs) { return static_cast<double>(toUs - fromUs) / 1000; }

// --- the programmer ---
// mcuflash: a programmer that cannot be executed makes the child print "Error on AVR"; one
// that ends with a non-zero status or by a signal is a failure too; both end mcuflash with 255.
// boardflash: the shell command's raw wait status in "Error: %d" and 255. Both lower the reset
// line only once the programmer has ended, in every case.

TEST_F(OutsideFaults, McuflashWithoutItsProgrammerSaysSoAndFails) {
  auto r = bench::run(*board, {.argv = {"mcuflash", hexFile().string()}, .timeoutMs = 10000});
  expectSound(r);
  EXPECT_EQ(r.out, "Error on AVR\n");
  EXPECT_EQ(r.status, 255);
  expectLineLoweredAfter(0);
}

TEST_F(OutsideFaults, McuflashFailsWhenItsProgrammerIsKilled) {
  // Killed by the test mid-run, and dying of a signal of its own.
  programmer::plan(board->dir(), 5000, 0);
  bench::Process p(*board, withProgrammer({"mcuflash", hexFile().string(), "0"}));
  const auto started = waitProgrammer();
  ASSERT_GT(started.pid, 0);
  const std::int64_t killed = bench::monotonicMicros();
  kill(started.pid, SIGKILL);
  auto r = p.wait();
  expectSound(r);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 255);
  EXPECT_LT(msBetween(killed, r.endUs), 1000) << "mcuflash went on waiting";
  expectLineLoweredAfter(killed);
  for (int sig : {SIGTERM, SIGSEGV}) {
    SCOPED_TRACE(strsignal(sig));
    programmer::forget(board->dir());
    programmer::plan(board->dir(), 100, -sig);
    r = bench::run(*board, withProgrammer({"mcuflash", hexFile().string(), "0"}));
    expectSound(r);
    EXPECT_EQ(r.status, 255);
    ASSERT_EQ(programmer::runs(board->dir()).size(), 1u);
    expectLineLoweredAfter(programmer::runs(board->dir())[0].endUs);
  }
}

TEST_F(OutsideFaults, BoardflashReportsAMissingOrKilledProgrammer) {
  auto r = bench::run(*board, {.argv = {"boardflash", hexFile().string()}, .timeoutMs = 10000});
  expectSound(r);
  EXPECT_EQ(r.out, "Error: 32512\n") << "the shell's 127 for a program it cannot find, as a wait status";
  EXPECT_EQ(r.status, 255);
  expectLineLoweredAfter(0);

  programmer::plan(board->dir(), 5000, 0);
  bench::Process p(*board, withProgrammer({"boardflash", hexFile().string()}));
  const auto started = waitProgrammer();
  ASSERT_GT(started.pid, 0);
  const std::int64_t killed = bench::monotonicMicros();
  kill(started.pid, SIGKILL);
  r = p.wait();
  expectSound(r);
  // The shell either became the programmer (status: killed by 9) or reports it (128 + 9).
  EXPECT_TRUE(r.out == "Error: 9\n" || r.out == "Error: " + std::to_string((128 + 9) << 8) + "\n") << r.out;
  EXPECT_EQ(r.status, 255);
  EXPECT_LT(msBetween(killed, r.endUs), 1000);
  expectLineLoweredAfter(killed);
}

// --- interrupted uploads ---
// mcuflash and boardflash on SIGINT, SIGTERM or SIGHUP: the reset line goes low at once, the
// programmer gets the signal (passed on when the tool alone was signalled; the terminal signals
// both) and is waited for, and the tool ends with 128 + the signal's number, saying nothing.
// Interrupted before the programmer has started, none is started.

// Until the reset line has been driven to `level` `count` times in this run, at most 5 s.
bool waitWrites(const bench::Board& board, int level, std::size_t count = 1) {
  return bench::waitFor(
      [&] {
        std::size_t n = 0;
        for (const auto& e : board.trace("gpio-write")) n += e.args == std::vector<int>{23, level};
        return n >= count;
      },
      5000);
}

TEST_F(OutsideFaults, AnInterruptedUploadLowersTheLineAndLeavesNoProgrammer) {
  for (const char* tool : {"mcuflash", "boardflash"}) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
      for (bool group : {false, true}) {
        SCOPED_TRACE(std::string(tool) + ", " + strsignal(sig) + (group ? " to the process group" : " to the tool"));
        board->clearTrace();
        programmer::forget(board->dir());
        programmer::plan(board->dir(), 5000, 0);
        bench::Process p(*board, withProgrammer({tool, hexFile().string()}));
        const auto started = waitProgrammer();
        ASSERT_GT(started.pid, 0);
        const std::int64_t sent = bench::monotonicMicros();
        kill(group ? -p.pid() : p.pid(), sig);
        auto r = p.wait();
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 128 + sig);
        EXPECT_EQ(r.out, "");
        EXPECT_LT(msBetween(sent, r.endUs), 1000) << "the programmer was not stopped";
        const auto runs = programmer::runs(board->dir());
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].endUs, -1) << "the programmer ran to its end";
        EXPECT_NE(kill(started.pid, 0), 0) << "the programmer is still running";
        const auto writes = resetWrites();
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes.back().second, 0);
        EXPECT_GE(writes.back().first, sent);
        EXPECT_EQ(board->pin(23).level, 0);
      }
    }
  }
}

TEST_F(OutsideFaults, AnUploadInterruptedBeforeItsProgrammerStartsNone) {
  // mcuflash and boardflash in their low phase; mcuflash's child in its wait of 3 s after the rise.
  struct Case {
    std::vector<std::string> argv;
    int level, count;  // signalled once the line has been driven so
  };
  for (const Case& c : {Case{{"mcuflash", hexFile().string()}, 0, 1}, Case{{"boardflash", hexFile().string()}, 0, 1},
                        Case{{"mcuflash", hexFile().string(), "3000"}, 1, 1}}) {
    SCOPED_TRACE(c.argv[0] + (c.level ? " after the rise" : " in the low phase"));
    board->clearTrace();
    programmer::forget(board->dir());
    programmer::plan(board->dir(), 0, 0);
    bench::Process p(*board, withProgrammer(c.argv));
    ASSERT_TRUE(waitWrites(*board, c.level, static_cast<std::size_t>(c.count)));
    p.signal(SIGTERM);
    auto r = p.wait();
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(programmer::runs(board->dir()).empty());
    EXPECT_LT(r.seconds, 2.5);
    const auto writes = resetWrites();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().second, 0);
    EXPECT_EQ(board->pin(23).level, 0);
  }
}

// --- what the caller leaves to a tool ---
// A child the caller leaves behind (a shell's background job, before it execs the tool) does
// not end mcuflash's reset pulse: it waits for its own programmer. SIGCHLD ignored by the
// caller (some service managers and scripts leave it so) does not turn a good run into a
// failure for mcuflash, boardflash or clocksync.

TEST_F(OutsideFaults, AnInheritedChildDoesNotEndTheResetPulse) {
  programmer::plan(board->dir(), 1000, 0);
  const std::string script = "sleep 0.3 & exec mcuflash '" + hexFile().string() + "' 0";
  auto r = bench::run(*board, withProgrammer({"sh", "-c", script}));
  expectSound(r);
  EXPECT_EQ(r.status, 0);
  const auto runs = programmer::runs(board->dir());
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].levelAtEnd, 1) << "the line fell during the upload";
  expectLineLoweredAfter(runs[0].endUs);
}

TEST_F(OutsideFaults, SigchldIgnoredByTheCallerChangesNoResult) {
  auto r = bench::run(*board, withProgrammer({"env", "--ignore-signal=CHLD", "mcuflash", hexFile().string()}));
  expectSound(r);
  EXPECT_EQ(r.status, 0);
  expectLineLoweredAfter(programmer::runs(board->dir()).at(0).endUs);
  r = bench::run(*board, withProgrammer({"env", "--ignore-signal=CHLD", "boardflash", hexFile().string()}));
  expectSound(r);
  EXPECT_EQ(r.out, "Uploaded!\n");
  EXPECT_EQ(r.status, 0);
  board->setRtcHold(true);
  board->setRtcTime(2026, 12, 7, 9, 5, 41);
  r = bench::run(*board, {.argv = {"env", "--ignore-signal=CHLD", "TZ=UTC", "LC_ALL=C", "clocksync"}});
  expectSound(r);
  EXPECT_EQ(r.out,
            "RTC date : 07/12/2026 09:05:00\n"
            "Mon Dec  7 09:05:00 UTC 2026\n"
            "New system date 07/12/2026 09:05\n");
  EXPECT_EQ(r.status, 0);
}

// A sketch named "-" is a file, not avrdude's standard input; nor is a name beginning with "-".
TEST_F(OutsideFaults, ASketchPathBeginningWithMinusStaysAPath) {
  bench::TempDir cwd;
  for (const std::string name : {"-", "-x.hex"}) {
    SCOPED_TRACE(name);
    std::ofstream(cwd.path() / name) << ":00000001FF\n";
    for (const char* tool : {"mcuflash", "boardflash"}) {
      programmer::forget(board->dir());
      auto s = withProgrammer({tool, name});
      s.cwd = cwd.path();
      auto r = bench::run(*board, s);
      expectSound(r);
      EXPECT_EQ(r.status, 0) << tool;
      const auto runs = programmer::runs(board->dir());
      ASSERT_EQ(runs.size(), 1u);
      EXPECT_EQ(runs[0].argv.back(), "-Uflash:w:./" + name + ":i") << tool;
    }
  }
}

// --- the loader ---
// pinwait: with its sketch missing it announces the upload, closes the port, runs the loader
// through the shell and ends with 254 whatever the loader did; only a shell that cannot start
// gives "NO uploaded sketch!". A loader that is missing, or whose upload is killed, is not
// noticed.

class LoaderFaults : public OutsideFaults {
 protected:
  bench::RunResult pinwait(bench::RunOptions s, bench::Sketch& sketch) {
    s.argv = {"pinwait", "-dig", "6", "1"};
    s.lines["/dev/ttyAMA0"] = sketch.line.slavePath();
    s.timeoutMs = 15000;
    return bench::run(*board, s);
  }
};

TEST_F(LoaderFaults, AMissingLoaderIsNotNoticed) {
  bench::Sketch other("OtherSketch\n");
  auto r = pinwait({}, other);
  expectSound(r);
  EXPECT_EQ(r.out, kAnnouncement);
  EXPECT_EQ(r.status, 254);
  EXPECT_NE(r.err.find(bench::kLoader), std::string::npos) << "the shell's complaint: " << r.err;
}

// The loader of the suite, uploading with mcuflash, whose programmer is killed mid-upload: the
// loader passes on mcuflash's failure, pinwait ends as it always does, and the line is low.
TEST_F(LoaderFaults, AnUploadKilledMidRunIsNotNoticed) {
  bench::Sketch other("OtherSketch\n");
  auto s = withProgrammer({});
  s.files[bench::kLoader] = MCULOAD;
  s.files[bench::kWaitSketch] = hexFile();
  programmer::plan(board->dir(), 5000, 0);
  s.argv = {"pinwait", "-dig", "6", "1"};
  s.lines["/dev/ttyAMA0"] = other.line.slavePath();
  bench::Process p(*board, s);
  const auto started = waitProgrammer();
  ASSERT_GT(started.pid, 0);
  ASSERT_GE(started.argv.size(), 16u);
  EXPECT_EQ(started.argv[15], std::string("-Uflash:w:") + bench::kWaitSketch + ":i");
  const std::int64_t killed = bench::monotonicMicros();
  kill(started.pid, SIGKILL);
  auto r = p.wait();
  expectSound(r);
  EXPECT_EQ(r.out, kAnnouncement);
  EXPECT_EQ(r.status, 254);
  EXPECT_LT(msBetween(killed, r.endUs), 1000);
  expectLineLoweredAfter(killed);
}

// --- the window program ---
// termbridge (with the decided fixes): when the window is gone, because the window program
// could not be started or because it ended, it says "xterm: window closed" and ends with 255;
// the window process that cannot start the program says why first.

TEST_F(OutsideFaults, TermbridgeWithoutItsWindowProgramSaysWhyAndEnds) {
  auto r = bench::run(*board, {.argv = {"termbridge"}, .keepInputOpen = true, .timeoutMs = 10000});
  expectSound(r);
  EXPECT_EQ(r.out, "xterm: 2 - No such file or directory\nxterm: window closed\n");
  EXPECT_EQ(r.status, 255);
}

TEST_F(OutsideFaults, TermbridgeEndsWhenItsWindowIsKilled) {
  bench::RunOptions s{.argv = {"termbridge"}, .keepInputOpen = true, .timeoutMs = 10000};
  bench::bindStandIn(s, bench::kXterm);
  bench::Process p(*board, s);
  ASSERT_TRUE(bench::waitFor([&] { return bench::window::up(board->dir()); }, 5000));
  const pid_t xterm = std::stoi(bench::window::found(board->dir())["pid"]);
  ASSERT_GT(xterm, 0);
  const std::int64_t killed = bench::monotonicMicros();
  kill(xterm, SIGKILL);
  auto r = p.wait();
  expectSound(r);
  EXPECT_EQ(r.out, "xterm: window closed\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_LT(msBetween(killed, r.endUs), 1000) << "within a pass or two";
}

}  // namespace
