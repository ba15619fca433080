#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>

#include "bench.h"

namespace {

namespace fs = std::filesystem;
namespace programmer = bench::programmer;

const char* const kHelp =
    "Sketch Upload to Orvix\n"
    "Use: sudo boardflash filename\n"
    "     (where filename : file with .hex extension)\n";

// How long the shell, sudo and the programmer may take to start on a loaded machine.
constexpr std::int64_t kStartUs = 200000;

using programmer::kHex;

// The programmer's argument vector as the shell splits the command line.
std::vector<std::string> avrdudeWords(const std::string& file) {
  return {"/home/velmont/avrdude",
          "-C",
          "/home/velmont/avrdude.conf",
          "-q",
          "-q",
          "-p",
          "atmega328p",
          "-c",
          "arduino",
          "-P",
          "/dev/Arduino",
          "-b",
          "115200",
          "-D",
          "-V",
          "-Uflash:w:" + file + ":i"};
}

std::vector<std::string> sudoWords(const std::string& file) {
  auto words = avrdudeWords(file);
  words.insert(words.begin(), "sudo");
  return words;
}

const std::vector<std::string> kPulse = {"gpio-setup 0", "gpio-mode 23 1", "gpio-write 23 0", "gpio-write 23 1",
                                         "gpio-write 23 0"};

std::set<std::string> namesIn(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir)) names.insert(e.path().lexically_relative(dir).string());
  return names;
}

class Boardflash : public ::testing::Test, protected programmer::Fixture {
 protected:
  bench::RunOptions runOptions(std::vector<std::string> args) {
    args.insert(args.begin(), "boardflash");
    return uploadOptions(std::move(args));
  }
  bench::RunResult flash(bench::RunOptions s) {
    fs::remove(board->commandLog());
    return upload(std::move(s));
  }
  bench::RunResult flash(std::vector<std::string> args) { return flash(runOptions(std::move(args))); }

  // Low 500 ms, then high from before the command until after it; returns the low phase in ms.
  double checkPulse(const programmer::Run& run) {
    const auto gpio = board->trace("gpio");
    EXPECT_EQ(simboard::describe(gpio), kPulse);
    if (gpio.size() != kPulse.size()) return 0;
    for (const auto& e : gpio) EXPECT_EQ(e.pid, gpio[0].pid) << "boardflash drives the line itself";
    EXPECT_EQ(run.levelAtStart, 1);
    EXPECT_EQ(run.levelAtEnd, 1);
    EXPECT_GE(run.startUs, gpio[3].us);
    EXPECT_GE(gpio[4].us, run.endUs);
    return (gpio[3].us - gpio[2].us) / 1000.0;
  }
};

}  // namespace

TEST_F(Boardflash, HelpForNoArgumentOrH) {
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"-h"}, {"-H"}, {"-h", "file.hex"}}) {
    auto r = flash(args);
    EXPECT_EQ(r.out, kHelp);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(board->trace().empty());
    EXPECT_TRUE(board->commands().empty());
  }
}

TEST_F(Boardflash, MissingFileEndsWithOneAndLeavesTheLineAlone) {
  for (const char* name : {"nosuch.hex", "no such; file.hex", "-help", "missing/dir/file.hex"}) {
    auto r = flash({name, "extra"});
    EXPECT_EQ(r.out, std::string("No file found: ") + name + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(board->trace().empty()) << name;
    EXPECT_TRUE(board->commands().empty()) << name;
    EXPECT_TRUE(programmer::runs(board->dir()).empty());
  }
}

TEST_F(Boardflash, RunsOneCommandLineThroughSudo) {
  for (std::vector<std::string> args : {std::vector<std::string>{"file.hex"}, {"file.hex", "2", "v", "-h"}}) {
    auto r = flash(args);
    EXPECT_EQ(r.out, "Uploaded!\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(board->commands(), std::vector<std::vector<std::string>>{sudoWords("file.hex")});
    const auto run = onlyRun();
    EXPECT_EQ(run.argv, avrdudeWords("file.hex"));
    checkPulse(run);
    const auto pin = board->pin(23);
    EXPECT_EQ(pin.mode, 1);
    EXPECT_EQ(pin.level, 0);
  }
}

TEST_F(Boardflash, FailedCommandGivesItsRawStatus) {
  const std::vector<std::pair<int, std::string>> cases = {
      {1, "Error: 256\n"}, {2, "Error: 512\n"}, {255, "Error: 65280\n"}};
  for (const auto& [status, message] : cases) {
    programmer::plan(board->dir(), 50, status, "avrdude speaking\n");
    auto r = flash({"file.hex"});
    EXPECT_EQ(r.out, "avrdude speaking\n" + message);
    EXPECT_EQ(r.status, 255);
    checkPulse(onlyRun());
    EXPECT_EQ(board->pin(23).level, 0);
  }
  // No programmer at its path: the shell's "not found" (127) comes back raw.
  auto s = runOptions({"file.hex"});
  s.files.clear();
  auto r = flash(s);
  campaign::expectSound(r);
  EXPECT_EQ(r.out, "Error: 32512\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(simboard::describe(board->trace("gpio")), kPulse);
  EXPECT_EQ(board->commands(), std::vector<std::vector<std::string>>{sudoWords("file.hex")});
}

TEST_F(Boardflash, FileNamesWithBlanksAndShellCharactersStayOneWord) {
  for (const std::string name : {"my sketch.hex", "a;touch injected;b.hex", "it's $(touch sub) `touch tick`.hex",
                                 "\"q\" \\ & | > out < in *.hex", "$HOME'' '\\''x.hex", "  lead and trail  "}) {
    SCOPED_TRACE(name);
    std::ofstream(work.path() / name) << kHex;
    const auto before = namesIn(work.path());
    auto r = flash({name});
    EXPECT_EQ(r.out, "Uploaded!\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(onlyRun().argv, avrdudeWords(name));
    EXPECT_EQ(board->commands(), std::vector<std::vector<std::string>>{sudoWords(name)});
    EXPECT_EQ(namesIn(work.path()), before) << "nothing in the name was run";
  }
}

TEST_F(Boardflash, LongCommandLinesAreNotCut) {
  const std::string dirs = std::string(200, 'a') + "/" + std::string(200, 'b') + "/";
  const std::string path = dirs + std::string(200, 'c') + ".hex";
  fs::create_directories(work.path() / dirs);
  std::ofstream(work.path() / path) << kHex;
  auto r = flash({path});
  EXPECT_EQ(r.out, "Uploaded!\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(onlyRun().argv, avrdudeWords(path));
}

TEST_F(Boardflash, LineIsHighForTheWholeCommand) {
  programmer::plan(board->dir(), 400, 0);
  auto r = flash({"file.hex"});
  EXPECT_EQ(r.status, 0);
  const auto run = onlyRun();
  const double lowMs = checkPulse(run);
  EXPECT_GE(lowMs, 500.0);
  EXPECT_LT(lowMs, 550.0);
  const auto gpio = board->trace("gpio");
  ASSERT_EQ(gpio.size(), kPulse.size());
  EXPECT_LT(run.startUs - gpio[3].us, kStartUs) << "no wait between the rise and the command";
  EXPECT_GE(gpio[4].us - gpio[3].us, 400000);
  EXPECT_LT(gpio[4].us - run.endUs, 100000);
}

TEST_F(Boardflash, ResetTimingsOverFiveRuns) {
  programmer::plan(board->dir(), 200, 0);
  std::vector<double> low, start, after;
  for (int i = 0; i < 5; ++i) {
    auto r = flash({"file.hex"});
    EXPECT_EQ(r.status, 0);
    const auto run = onlyRun();
    low.push_back(checkPulse(run));
    const auto gpio = board->trace("gpio");
    ASSERT_EQ(gpio.size(), kPulse.size());
    start.push_back((run.startUs - gpio[3].us) / 1000.0);
    after.push_back((gpio[4].us - run.endUs) / 1000.0);
  }
  const double lowMedian = bench::reportMedian("boardflash low before rising (500 ms)", low);
  const double startMedian = bench::reportMedian("boardflash rise to programmer start through sh and sudo (no wait)", start);
  const double afterMedian = bench::reportMedian("boardflash programmer end to fall", after);
  EXPECT_GE(lowMedian, 500.0);
  EXPECT_LT(lowMedian, 530.0);
  EXPECT_LT(startMedian, kStartUs / 1000.0);
  EXPECT_LT(afterMedian, 100.0);
}

TEST_F(Boardflash, WithoutGpioAccessSaysSoAndRunsNothing) {
  board->setGpioDenied(true);
  auto r = flash({"file.hex"});
  EXPECT_EQ(r.out, "NO GPIO access (add the user to group gpio, or run as root)\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(r.err.empty()) << r.err;
  EXPECT_EQ(simboard::describe(board->trace()), std::vector<std::string>{"gpio-setup -1"});
  EXPECT_TRUE(board->commands().empty());
  EXPECT_TRUE(programmer::runs(board->dir()).empty());
}

// --- the programmer killed, the upload interrupted ---

TEST_F(Boardflash, ReportsAKilledProgrammer) {
  auto r = expectAKilledProgrammerFailsTheUpload({"boardflash", "file.hex"});
  // The shell either became the programmer (status: killed by 9) or reports it (128 + 9).
  EXPECT_TRUE(r.out == "Error: 9\n" || r.out == "Error: " + std::to_string((128 + 9) << 8) + "\n") << r.out;
}

TEST_F(Boardflash, AnInterruptedUploadLowersTheLineAndLeavesNoProgrammer) {
  expectAnInterruptedUploadStopped("boardflash");
}

// Stopped in its low phase.
TEST_F(Boardflash, AnUploadInterruptedBeforeItsProgrammerStartsNone) {
  expectAnUploadStoppedBeforeItsProgrammerStartsNone({"boardflash", "file.hex"}, 0);
}

// SIGCHLD ignored by the caller (some service managers and scripts leave it so) does not turn a
// good run into a failure.
TEST_F(Boardflash, SigchldIgnoredByTheCallerChangesNoResult) {
  auto r = flash(uploadOptions({"env", "--ignore-signal=CHLD", "boardflash", "file.hex"}));
  campaign::expectSound(r);
  EXPECT_EQ(r.out, "Uploaded!\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Boardflash, ASketchPathBeginningWithMinusStaysAPath) { expectNamesBeginningWithMinusKeptPaths("boardflash"); }
