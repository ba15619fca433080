#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "bench.h"

namespace {

namespace fs = std::filesystem;
namespace programmer = bench::programmer;

const char* const kHelp =
    "Arduino Uploading compiled sketch (.hex)\n"
    "format : sudo mcuflash [-h| pathsketch\n"
    "Ex.: sudo mcuflash /home/pi/bin/mcusketches/EchoSketch.hex\n";

// How long a program may take to start (exec, the sanitizers' runtime) on a loaded machine;
// well under the 300 ms waits that the tests tell apart from none.
constexpr double kStartMs = 200;

using programmer::kHex;

// Entries 0 to 15 of the programmer's argument vector, with the two mode words and the file.
std::vector<std::string> avrArg(const std::string& mode, const std::string& file) {
  return {"/home/velmont/avrdude",
          "-C",
          "/home/velmont/avrdude.conf",
          mode,
          mode,
          "-p",
          "atmega328p",
          "-c",
          "arduino",
          "-P",
          "/dev/ttyAMA0",
          "-b",
          "115200",
          "-D",
          "-V",
          "-Uflash:w:" + file + ":i"};
}

const std::vector<std::string> kPulse = {"gpio-setup 0", "gpio-mode 23 1", "gpio-write 23 0", "gpio-write 23 1",
                                         "gpio-write 23 0"};

// One upload as the trace and the programmer's record tell it, in milliseconds.
struct Upload {
  double lowMs = 0;    // from the first fall to the rise
  double waitMs = 0;   // from the rise to the programmer's start
  double afterMs = 0;  // from the programmer's end to the last fall
  double highMs = 0;   // from the rise to the last fall
};

// Checks the shape of a whole upload: the parent sets up and lowers, its child raises the
// line and becomes the programmer, which finds it high at start and end; the parent lowers
// it once the programmer has ended.
Upload checkUpload(const bench::Board& board, const programmer::Run& run) {
  const auto gpio = board.trace("gpio");
  EXPECT_EQ(simboard::describe(gpio), kPulse);
  if (gpio.size() != kPulse.size()) return {};
  const auto &fall = gpio[2], &rise = gpio[3], &last = gpio[4];
  EXPECT_EQ(gpio[0].pid, fall.pid);
  EXPECT_EQ(last.pid, fall.pid);
  EXPECT_NE(rise.pid, fall.pid) << "the child raises the line";
  EXPECT_EQ(run.pid, rise.pid) << "the child becomes the programmer";
  EXPECT_EQ(run.levelAtStart, 1);
  EXPECT_EQ(run.levelAtEnd, 1);
  EXPECT_GE(run.startUs, rise.us);
  EXPECT_GT(run.endUs, run.startUs);
  EXPECT_GE(last.us, run.endUs);
  return {(rise.us - fall.us) / 1000.0, (run.startUs - rise.us) / 1000.0, (last.us - run.endUs) / 1000.0,
          (last.us - rise.us) / 1000.0};
}

class Mcuflash : public ::testing::Test, protected programmer::Fixture {
 protected:
  bench::RunOptions runOptions(std::vector<std::string> args) {
    args.insert(args.begin(), "mcuflash");
    return uploadOptions(std::move(args));
  }
  bench::RunResult flash(bench::RunOptions s) { return upload(std::move(s)); }
  bench::RunResult flash(std::vector<std::string> args) { return flash(runOptions(std::move(args))); }
};

}  // namespace

TEST_F(Mcuflash, HelpForNoArgumentOrH) {
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"-h"}, {"-H"}, {"-h", "file.hex", "0", "v"}}) {
    auto r = flash(args);
    EXPECT_EQ(r.out, kHelp);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(board->trace().empty());
    EXPECT_TRUE(programmer::runs(board->dir()).empty());
  }
}

TEST_F(Mcuflash, MissingFileLeavesTheLineAlone) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"nosuch.hex"}, {"nosuch.hex", "0", "v"}, {"-help"}, {"no such dir/file.hex"}}) {
    auto r = flash(args);
    EXPECT_EQ(r.out, "NOK File not found: " + args[0] + "\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(board->trace().empty()) << args[0];
    EXPECT_TRUE(programmer::runs(board->dir()).empty());
  }
  const std::string longName = std::string(200, 'd') + "/" + std::string(200, 'f') + ".hex";
  auto r = flash({longName});
  EXPECT_EQ(r.out, "NOK File not found: " + longName + "\n");
  EXPECT_EQ(r.status, 255);
}

TEST_F(Mcuflash, PathAlonePassesTheQuietVectorAndTheEnvironment) {
  auto s = runOptions({"file.hex"});
  s.env = {"ORVIX_MARK=upload 42"};
  auto r = flash(s);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  const auto run = onlyRun();
  EXPECT_EQ(run.argv, avrArg("-q", "file.hex"));
  EXPECT_NE(std::find(run.env.begin(), run.env.end(), "ORVIX_MARK=upload 42"), run.env.end());
  EXPECT_NE(std::find_if(run.env.begin(), run.env.end(), [](const std::string& e) { return e.rfind("PATH=", 0) == 0; }),
            run.env.end());
  const auto u = checkUpload(*board, run);
  EXPECT_GE(u.waitMs, 2.0) << "2 ms by default between the rise and the programmer";
  EXPECT_LT(u.waitMs, kStartMs);
  const auto pin = board->pin(23);
  EXPECT_EQ(pin.mode, 1);
  EXPECT_EQ(pin.level, 0);
}

TEST_F(Mcuflash, VerboseOnlyForALowerCaseV) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"file.hex", "0", "v"}, "-v"}, {{"file.hex", "2", "verbose"}, "-v"}, {{"file.hex", "2", "v", "more"}, "-v"},
      {{"file.hex", "2", "V"}, "-q"}, {{"file.hex", "2", "Verbose"}, "-q"}, {{"file.hex", "2", "x", "v"}, "-q"},
      {{"file.hex", "v"}, "-q"},      {{"file.hex", "2", ""}, "-q"},
  };
  for (const auto& [args, mode] : cases) {
    SCOPED_TRACE(args.size() > 2 ? args[2] : args[1]);
    auto r = flash(args);
    EXPECT_EQ(r.status, 0);
    const auto run = onlyRun();
    EXPECT_EQ(run.argv, avrArg(mode, "file.hex"));
    checkUpload(*board, run);
  }
}

TEST_F(Mcuflash, SecondArgumentSetsTheWaitBeforeTheProgrammer) {
  // Read as atoi reads: blanks and a sign first, digits up to the first other character.
  for (const char* sinc : {"300", " 300", "+300", "300ms", "0300"}) {
    auto r = flash({"file.hex", sinc});
    EXPECT_EQ(r.status, 0);
    const auto u = checkUpload(*board, onlyRun());
    EXPECT_GE(u.waitMs, 300.0) << sinc;
    EXPECT_LT(u.waitMs, 300.0 + kStartMs) << sinc;
  }
  // No digits, or a negative number: no wait at all (not days of it).
  for (const char* sinc : {"0", "abc", "v", "-300", "-86400000", "- 300"}) {
    auto r = flash({"file.hex", sinc});
    EXPECT_EQ(r.status, 0) << sinc;
    EXPECT_FALSE(r.timedOut) << sinc;
    const auto u = checkUpload(*board, onlyRun());
    EXPECT_LT(u.waitMs, kStartMs) << sinc;
  }
}

TEST_F(Mcuflash, LineIsHighForTheWholeProgrammerRunAndLowOnlyAfterIt) {
  programmer::plan(board->dir(), 400, 0);
  auto r = flash({"file.hex", "50"});
  EXPECT_EQ(r.status, 0);
  const auto run = onlyRun();
  const auto u = checkUpload(*board, run);
  EXPECT_GE(u.lowMs, 100.0);
  EXPECT_LT(u.lowMs, 150.0);
  EXPECT_GE(u.waitMs, 50.0);
  EXPECT_GE(run.endUs - run.startUs, 400000);
  EXPECT_GE(u.highMs, 450.0);
  EXPECT_GE(u.afterMs, 0.0);
  EXPECT_LT(u.afterMs, 100.0);
}

TEST_F(Mcuflash, StatusFollowsTheProgrammer) {
  // A negative status: the programmer dies of that signal.
  const std::vector<std::pair<int, int>> cases = {{0, 0}, {1, 255}, {7, 255}, {255, 255}, {-15, 255}, {-11, 255}, {-9, 255}};
  for (const auto& [programmerStatus, status] : cases) {
    SCOPED_TRACE(programmerStatus);
    programmer::plan(board->dir(), 20, programmerStatus, "avrdude speaking\n");
    auto r = flash({"file.hex"});
    campaign::expectSound(r);
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, "avrdude speaking\n") << "the programmer writes on the uploader's output";
    checkUpload(*board, onlyRun());
    EXPECT_EQ(board->pin(23).level, 0);
  }
}

TEST_F(Mcuflash, ProgrammerThatCannotRunIsAFailure) {
  const fs::path plain = work.path() / "not-a-program";
  std::ofstream(plain) << "no program here\n";
  fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
  for (bool present : {false, true}) {
    SCOPED_TRACE(present ? "not executable" : "absent");
    auto s = runOptions({"file.hex", "0", "v"});
    if (present)
      s.files[bench::kAvrdude] = plain;
    else
      s.files.clear();
    auto r = flash(s);
    EXPECT_EQ(r.out, "Error on AVR\n");
    EXPECT_EQ(r.status, 255);
    const auto gpio = board->trace("gpio");
    EXPECT_EQ(simboard::describe(gpio), kPulse);
    if (gpio.size() == kPulse.size()) {
      EXPECT_NE(gpio[3].pid, gpio[4].pid);
    }
    EXPECT_EQ(board->pin(23).level, 0);
  }
}

TEST_F(Mcuflash, LongPathsReachTheProgrammerWhole) {
  // A path cut at 255 characters would name this other file.
  const std::string dirs = std::string(120, 'a') + "/" + std::string(120, 'b') + "/";
  const std::string path = dirs + std::string(100, 'c') + ".hex";
  fs::create_directories(work.path() / dirs);
  std::ofstream(work.path() / path) << kHex;
  std::ofstream(work.path() / path.substr(0, 255)) << kHex;
  auto r = flash({path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(onlyRun().argv, avrArg("-q", path));
}

TEST_F(Mcuflash, ResetTimingsOverFiveRuns) {
  programmer::plan(board->dir(), 200, 0);
  std::vector<double> low, wait, after;
  for (int i = 0; i < 5; ++i) {
    auto r = flash({"file.hex"});
    EXPECT_EQ(r.status, 0);
    const auto u = checkUpload(*board, onlyRun());
    low.push_back(u.lowMs);
    wait.push_back(u.waitMs);
    after.push_back(u.afterMs);
  }
  const double lowMedian = bench::reportMedian("mcuflash low before rising (100 ms)", low);
  const double waitMedian = bench::reportMedian("mcuflash rise to programmer start (sinc 2 ms)", wait);
  const double afterMedian = bench::reportMedian("mcuflash programmer end to fall", after);
  EXPECT_GE(lowMedian, 100.0);
  EXPECT_LT(lowMedian, 130.0);
  EXPECT_GE(waitMedian, 2.0);
  EXPECT_LT(waitMedian, kStartMs);
  EXPECT_LT(afterMedian, 100.0);
}

// Debian's avrdude with its own configuration, on a line where nothing answers: it takes
// the vector as it is, opens the device it names and gives up after its sync attempts.
TEST_F(Mcuflash, RealProgrammerFindsNoMicrocontroller) {
  if (!fs::exists("/usr/bin/avrdude") || !fs::exists("/etc/avrdude.conf"))
    GTEST_SKIP() << "Debian's avrdude package is not installed";
  bench::Line line;
  auto s = runOptions({"file.hex"});
  s.files[bench::kAvrdude] = "/usr/bin/avrdude";
  s.files[bench::kAvrdudeConf] = "/etc/avrdude.conf";
  s.lines["/dev/ttyAMA0"] = line.slavePath();
  s.timeoutMs = 150000;
  auto r = flash(s);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("not in sync"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("unable to open programmer arduino on port /dev/ttyAMA0"), std::string::npos) << r.err;

  // What reached the far side: its sync requests (STK_GET_SYNC, CRC_EOP).
  std::string far;
  char buf[4096];
  fcntl(line.master(), F_SETFL, fcntl(line.master(), F_GETFL) | O_NONBLOCK);
  for (ssize_t n; (n = read(line.master(), buf, sizeof buf)) > 0;) far.append(buf, static_cast<std::size_t>(n));
  EXPECT_NE(far.find("0 "), std::string::npos);

  const auto gpio = board->trace("gpio");
  EXPECT_EQ(simboard::describe(gpio), kPulse);
  if (gpio.size() == kPulse.size()) {
    EXPECT_GE(gpio[4].us - gpio[3].us, 10000000) << "high through the retries";
  }
  EXPECT_EQ(board->pin(23).level, 0);
}

TEST_F(Mcuflash, WithoutGpioAccessSaysSoAndStartsNoProgrammer) {
  board->setGpioDenied(true);
  auto r = flash({"file.hex", "0", "v"});
  EXPECT_EQ(r.out, "NO GPIO access (add the user to group gpio, or run as root)\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(r.err.empty()) << r.err;
  EXPECT_EQ(simboard::describe(board->trace()), std::vector<std::string>{"gpio-setup -1"});
  EXPECT_TRUE(programmer::runs(board->dir()).empty());
}

// --- the programmer missing or killed, the upload interrupted ---

TEST_F(Mcuflash, WithoutItsProgrammerSaysSoAndFails) {
  auto s = runOptions({"file.hex"});
  s.files.clear();
  auto r = flash(s);
  campaign::expectSound(r);
  EXPECT_EQ(r.out, "Error on AVR\n");
  EXPECT_EQ(r.status, 255);
  expectLineLoweredAfter(0);
}

TEST_F(Mcuflash, FailsWhenItsProgrammerIsKilled) {
  EXPECT_EQ(expectAKilledProgrammerFailsTheUpload({"mcuflash", "file.hex", "0"}).out, "");
}

TEST_F(Mcuflash, AnInterruptedUploadLowersTheLineAndLeavesNoProgrammer) {
  expectAnInterruptedUploadStopped("mcuflash");
}

// Stopped in its low phase, and in its child's wait of 3 s after the rise.
TEST_F(Mcuflash, AnUploadInterruptedBeforeItsProgrammerStartsNone) {
  expectAnUploadStoppedBeforeItsProgrammerStartsNone({"mcuflash", "file.hex"}, 0);
  expectAnUploadStoppedBeforeItsProgrammerStartsNone({"mcuflash", "file.hex", "3000"}, 1);
}

// --- what the caller leaves to it ---

// A child the caller leaves behind (a shell's background job, before it execs the tool) does
// not end the reset pulse: mcuflash waits for its own programmer.
TEST_F(Mcuflash, AnInheritedChildDoesNotEndTheResetPulse) {
  programmer::plan(board->dir(), 1000, 0);
  auto r = flash(uploadOptions({"sh", "-c", "sleep 0.3 & exec mcuflash file.hex 0"}));
  campaign::expectSound(r);
  EXPECT_EQ(r.status, 0);
  const auto runs = uploads();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].levelAtEnd, 1) << "the line fell during the upload";
  expectLineLoweredAfter(runs[0].endUs);
}

// SIGCHLD ignored by the caller (some service managers and scripts leave it so) does not turn a
// good run into a failure.
TEST_F(Mcuflash, SigchldIgnoredByTheCallerChangesNoResult) {
  auto r = flash(uploadOptions({"env", "--ignore-signal=CHLD", "mcuflash", "file.hex"}));
  campaign::expectSound(r);
  EXPECT_EQ(r.status, 0);
  expectLineLoweredAfter(uploads().at(0).endUs);
}

TEST_F(Mcuflash, ASketchPathBeginningWithMinusStaysAPath) { expectNamesBeginningWithMinusKeptPaths("mcuflash"); }
