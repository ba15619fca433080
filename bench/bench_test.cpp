// vboard as a person uses it: each command as a process, on a board directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "bench.h"

namespace fs = std::filesystem;

namespace {

using bench::slurp;

class Vboard : public ::testing::Test {
 protected:
  bench::RunResult vboard(std::vector<std::string> args) { return vboardOn(dir(), std::move(args)); }
  bench::RunResult vboardOn(const std::string& board, std::vector<std::string> args) {
    args.insert(args.begin(), {kVboard, "--board", board});
    return bench::run(host_.get(), {.argv = args, .timeoutMs = 20000});
  }
  static inline const std::string kVboard = (bench::toolDir().parent_path() / "vboard").string();
  std::string dir() const { return (tmp_.path() / "board").string(); }

  bench::TempDir tmp_;
  bench::ScratchBoard host_;  // only where vboard itself runs
};

}  // namespace

TEST_F(Vboard, RegistersSetThenReadByATool) {
  EXPECT_EQ(vboard({"rtc", "regs", "00", "59", "23", "07", "31", "12", "99"}).status, 0);
  auto r = vboard({"run", "--", "clockshow"});
  EXPECT_EQ(r.out, "31/12/2099 23:59\n");
  EXPECT_EQ(r.status, 0);

  EXPECT_EQ(vboard({"rtc", "hold"}).status, 0);
  r = vboard({"rtc", "regs"});
  EXPECT_EQ(r.out.size(), 19u * 3);
  EXPECT_EQ(r.out.substr(3, 18), "59 23 07 31 12 99 ");
}

TEST_F(Vboard, ClockFaultsReachTheTools) {
  vboard({"rtc", "absent"});
  auto r = vboard({"run", "--", "clockshow", "-t"});
  EXPECT_EQ(r.out.substr(0, 3), "NO ");
  EXPECT_EQ(r.status, 255);
  vboard({"rtc", "present"});
  vboard({"rtc", "fail"});
  EXPECT_EQ(vboard({"run", "--", "clockshow", "-t"}).status, 255);
  vboard({"rtc", "ok"});
  vboard({"rtc", "set", "2026-12-07", "09:05:41"});
  r = vboard({"run", "--", "clockshow", "-s"});
  EXPECT_EQ(r.out, "2026-12-07 09:05");
  r = vboard({"rtc", "show"});
  EXPECT_NE(r.out.find("2026-12-07 09:05:4"), std::string::npos) << r.out;
}

TEST_F(Vboard, RtcShowTellsWhenTheWakeUpAlarmFires) {
  // Sunday 14 June 2026, 07:29:59; alarm 2 every day at 07:30, its interrupt enabled.
  vboard({"rtc", "hold"});
  vboard({"rtc", "regs", "59", "29", "07", "01", "14", "06", "26", "0", "0", "0", "0", "30", "07", "80", "06", "00"});
  auto r = vboard({"rtc", "show"});
  EXPECT_EQ(r.out.substr(r.out.find('\n') + 1),
            "2026-06-14 07:29:59 weekday 1\nalarm 2 30 07 80, control 06, status 00: not fired\n");
  vboard({"rtc", "tick"});
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  r = vboard({"rtc", "show"});
  EXPECT_NE(r.out.find("\n2026-06-14 07:30:0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nalarm 2 30 07 80, control 06, status 02: fired, interrupt raised\n"), std::string::npos) << r.out;
}

TEST_F(Vboard, TracePrintsTheToolsTransfers) {
  vboard({"rtc", "hold"});
  vboard({"rtc", "regs", "45", "59", "23", "07", "31", "12", "99"});
  vboard({"trace", "--clear"});
  vboard({"run", "--", "clockshow"});
  auto r = vboard({"trace"});
  std::istringstream lines(r.out);
  std::vector<std::string> ops;
  for (std::string us, pid, rest; lines >> us >> pid && std::getline(lines, rest);) ops.push_back(rest);
  ASSERT_EQ(ops.size(), 10u) << r.out;
  EXPECT_EQ(ops[0], " gpio-setup 0");
  EXPECT_EQ(ops[1].substr(0, 15), " i2c-setup 104 ");
  EXPECT_EQ(ops[2], " i2c-read 0 69");  // 0x45
  EXPECT_EQ(ops[8], " i2c-read 6 153");
  EXPECT_EQ(ops[9], " i2c-read 0 69");  // the seconds again
}

TEST_F(Vboard, GpioInputsAndShow) {
  vboard({"gpio", "set", "24", "1"});
  auto r = vboard({"run", "--", "sh", "-c", "exit 0"});
  EXPECT_EQ(r.status, 0);
  auto board = bench::Board::open(dir());
  ASSERT_TRUE(board);
  EXPECT_EQ(board->gpioRead(24), 1);
  board->gpioMode(23, 1);
  board->gpioWrite(23, 1);
  r = vboard({"gpio", "show"});
  EXPECT_NE(r.out.find("23 output level 1 pull off\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("24 input level 0 pull off\n"), std::string::npos) << r.out;
  EXPECT_EQ(vboard({"gpio", "set", "24", "7"}).status, 2);
}

TEST_F(Vboard, RunPassesStatusAndUsesTheStandIns) {
  // On a fresh board, with no clock of the run's kept yet, a stand-in adds nothing to stderr.
  for (const std::vector<std::string>& tool : {std::vector<std::string>{"date", "+%Y"}, {"sudo", "true"}}) {
    std::vector<std::string> args = {"run", "--"};
    args.insert(args.end(), tool.begin(), tool.end());
    const auto r = vboard(args);
    EXPECT_EQ(r.err, "") << tool[0];
    EXPECT_EQ(r.status, 0) << tool[0];
  }
  EXPECT_EQ(vboard({"run", "--", "sh", "-c", "exit 3"}).status, 3);
  auto r = vboard({"run", "--", "sh", "-c", "sudo date -s '12/25/2026 18:30:00' >/dev/null; date '+%d/%m/%Y %H:%M'"});
  EXPECT_EQ(r.out, "25/12/2026 18:30\n");
  r = vboard({"commands"});
  EXPECT_EQ(r.out,
            "date +%Y\n"
            "sudo true\n"
            "sudo date -s 12/25/2026 18:30:00\n"
            "date -s 12/25/2026 18:30:00\n"
            "date +%d/%m/%Y %H:%M\n");
  // At its time limit the tool is asked to stop, and may put back what it holds.
  for (const auto& [tool, out] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"sleep", "30"}, ""}, {{"bash", "-c", "trap 'echo got-term; exit 3' TERM; sleep 6 & wait"}, "got-term\n"}}) {
    std::vector<std::string> args = {"run", "--timeout", "1", "--"};
    args.insert(args.end(), tool.begin(), tool.end());
    r = vboard(args);
    EXPECT_EQ(r.status, 124) << tool[0];
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "vboard: " + tool[0] + " stopped after its time limit\n");
    EXPECT_LT(r.seconds, 3);
  }
}

TEST_F(Vboard, RunWithAScriptedSketchOnTheLine) {
  auto r = vboard({"run", "--raw", "--line", "/dev/ttyS0,/dev/ttyAMA0", "--answer", "?=LinkTest\\r\\n", "--show-line",
                   "--", "sh", "-c", "printf '?\\n' >/dev/ttyAMA0; head -c 10 /dev/ttyS0"});
  EXPECT_EQ(r.out, "LinkTest\r\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("line: ?\\n"), std::string::npos) << r.err;
  r = vboard({"run", "--", "sh", "-c", "test -e /dev/ttyS0"});
  EXPECT_EQ(r.status, 1);  // no line asked for: no serial names
}

TEST_F(Vboard, HelpAndMistakes) {
  auto r = vboard({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* cmd : {"run [OPTIONS] -- TOOL", "rtc set YYYY-MM-DD", "rtc regs [HEX...]", "gpio set PIN LEVEL",
                          "trace [--clear]", "rtc absent|present", "rtc hold|tick", "rtc fail [N]|ok"})
    EXPECT_NE(r.out.find(cmd), std::string::npos) << cmd;
  EXPECT_NE(r.out.find(" clockset "), std::string::npos) << "the programs it runs";
  r = vboard({"rtc", "frobnicate"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown rtc command frobnicate"), std::string::npos);
  EXPECT_EQ(vboard({"rtc", "regs", "1FF"}).status, 2);
  EXPECT_EQ(vboard({"run", "clockshow"}).status, 2);

  // A date the chip cannot hold, or a broken escape, is refused rather than written.
  EXPECT_EQ(vboard({"rtc", "set", "2026-12-07", "09:05:41"}).status, 0);
  EXPECT_EQ(vboard({"rtc", "hold"}).status, 0);
  const std::string before = vboard({"rtc", "regs"}).out;
  for (const auto& [date, time] : std::vector<std::pair<std::string, std::string>>{
           {"2024-13-45", "99:99:99"}, {"2025-02-29", "10:00:00"}, {"2026-12-07", "24:00:00"},
           {"1999-12-31", "23:59:59"}, {"2100-01-01", "00:00:00"}}) {
    r = vboard({"rtc", "set", date, time});
    EXPECT_EQ(r.status, 2) << date << " " << time;
    EXPECT_NE(r.err.find("not a date and time of 2000-2099"), std::string::npos) << r.err;
  }
  EXPECT_EQ(vboard({"rtc", "regs"}).out, before);
  EXPECT_EQ(vboard({"rtc", "set", "2024-02-29", "23:59:59"}).status, 0);
  for (const char* answer : {"?=\\x-1", "?=\\x 9", "?=\\xZZ", "?=ab\\x4"}) {
    r = vboard({"run", "--line", "/dev/ttyS0", "--answer", answer, "--", "true"});
    EXPECT_EQ(r.status, 2) << answer;
    EXPECT_NE(r.err.find("\\x takes two hex digits"), std::string::npos) << r.err;
  }
}

// --- the board's folder and state ---

// vboard often runs as root: no link in or for a board folder makes it write elsewhere.
TEST_F(Vboard, SymbolicLinksAreNeverFollowed) {
  const fs::path victim = tmp_.path() / "victim";
  std::ofstream(victim) << "keep\n";
  ASSERT_EQ(vboard({"rtc", "set", "2026-12-07", "09:05:41"}).status, 0);
  const fs::path link = tmp_.path() / "link";
  fs::create_directory_symlink(dir(), link);
  auto r = vboardOn(link.string(), {"rtc", "show"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vboard: " + link.string() + ": the board folder is a symbolic link; give the folder itself\n");

  fs::create_symlink(victim, fs::path(dir()) / "trace");
  r = vboard({"trace", "--clear"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vboard: " + dir() + "/trace: cannot clear: it is a symbolic link\n");
  EXPECT_EQ(vboard({"run", "--", "clockshow", "-t"}).out, "09:05\n");  // a tool's transfers go untraced
  fs::rename(fs::path(dir()) / "state", tmp_.path() / "state");
  fs::create_symlink(victim, fs::path(dir()) / "state");
  r = vboard({"rtc", "set", "2030-01-01", "00:00:00"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vboard: " + dir() + "/state: cannot read: it is a symbolic link\n");
  EXPECT_EQ(slurp(victim), "keep\n");
}

// A folder that another user may write to, or that is someone's own, is never made a board.
TEST_F(Vboard, ForeignAndOrdinaryFoldersAreRefused) {
  const fs::path open = tmp_.path() / "open", files = tmp_.path() / "files";
  fs::create_directory(open);
  fs::permissions(open, fs::perms::all);
  auto r = vboardOn(open.string(), {"rtc", "show"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vboard: " + open.string() +
                       ": other users may write to the board folder (mode 0777); use a folder only you can write to\n");
  EXPECT_TRUE(fs::is_empty(open));

  fs::create_directory(files);
  for (const char* name : {"state", "trace", "notes"}) std::ofstream(files / name) << name << '\n';
  r = vboardOn(files.string(), {"run", "--", "clockshow"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vboard: " + files.string() +
                       ": not a board folder: it holds files but no board mark; give an empty or new folder\n");
  for (const char* name : {"state", "trace", "notes"}) EXPECT_EQ(slurp(files / name), name + std::string("\n"));
  EXPECT_EQ(std::distance(fs::directory_iterator(files), {}), 3);

  ASSERT_EQ(vboard({"rtc", "show"}).status, 0);
  if (chown(dir().c_str(), 65534, 65534) != 0)
    GTEST_SKIP() << "cannot give a folder to another user here (not root, or a user namespace of root alone)";
  r = vboard({"rtc", "show"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vboard: " + dir() + ": the board folder belongs to user 65534; use a folder of your own\n");
}

// A state that cannot be read is an error with its reason, never the year 2000.
TEST_F(Vboard, AStateThatCannotBeReadIsAnError) {
  ASSERT_EQ(vboard({"rtc", "set", "2026-12-07", "09:05:41"}).status, 0);
  const fs::path state = fs::path(dir()) / "state";
  const std::string good = slurp(state);
  const std::string line = std::to_string(std::count(good.begin(), good.end(), '\n') + 1);
  std::ofstream(state, std::ios::app) << "rtc.regs 00 59\n";
  auto r = vboard({"rtc", "show"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "vboard: " + state.string() + ": damaged board state: line " + line + " cannot be read: \"rtc.regs 00 59\"\n");
  r = vboard({"run", "--", "clockshow"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("damaged board state: line " + line + " "), std::string::npos) << r.err;

  fs::remove(state);
  fs::create_directory(state);
  r = vboard({"rtc", "show"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vboard: " + state.string() + ": cannot read: Is a directory\n");
}

// On a full disk the state stays as it was, and the write that could not be made says so.
TEST_F(Vboard, AFullDiskLeavesTheStateWhole) {
  // A small tmpfs of the run's own mount namespace, gone with it.
  const auto r = bench::run(host_.get(), {.argv = {"/bin/sh", "-c",
                                                   "set -e; mkdir /dev/small; mount -t tmpfs -o size=16k,mode=0700 small /dev/small;"
                                                   "vb() { \"$0\" --board /dev/small/board \"$@\"; };"
                                                   "vb rtc set 2026-12-07 09:05:41; vb rtc hold;"
                                                   "head -c 1M /dev/zero >/dev/small/fill || true;"
                                                   "vb rtc set 2030-01-01 00:00:00 || echo \"status $?\";"
                                                   "vb rtc show | sed -n 2p",
                                                   kVboard},
                                          .timeoutMs = 20000});
  EXPECT_EQ(r.out, "status 1\n2026-12-07 09:05:41 weekday 2\n");
  EXPECT_EQ(r.err.substr(r.err.find("vboard: ")),
            "vboard: /dev/small/board/state: cannot write: No space left on device\n");
}

TEST_F(Vboard, OutOfRangeNumbersAreUsageErrors) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"gpio", "set", "64", "1"},
                                             {"gpio", "set", "-1", "0"},
                                             {"gpio", "set", "99999999999", "0"},
                                             {"gpio", "clear", "64"},
                                             {"rtc", "fail", "-2"},
                                             {"rtc", "fail", "1", "2"},
                                             {"run", "--timeout", "0", "--", "true"},
                                             {"run", "--timeout", "-1", "--", "true"},
                                             {"run", "--timeout", "86401", "--", "true"},
                                             {"run", "--timeout", "4294968", "--", "true"}}) {
    const auto r = vboard(args);
    EXPECT_EQ(r.status, 2) << args[0] << " " << args[1] << " " << args[2];
    EXPECT_TRUE(r.err.ends_with("\nTry 'vboard --help'.\n")) << r.err;
  }
  EXPECT_EQ(vboard({"gpio", "set", "63", "1"}).status, 0);
  EXPECT_EQ(vboard({"gpio", "show"}).out, "");  // no tool touched it
  EXPECT_EQ(vboard({"run", "--timeout", "86400", "--", "true"}).status, 0);
}

// The Pi as orvix-setup leaves it, unless a bare one is asked for.
TEST_F(Vboard, RunGivesTheSetUpPiOrABareOne) {
  const auto setUp = bench::setUpPi();
  ASSERT_TRUE(setUp.count(bench::kLoader));
  std::string same, absent;
  for (const auto& [path, file] : setUp) same += "cmp " + path + " " + file.string() + " && ";
  for (const auto& path : bench::kFixedPaths) absent += "! test -e " + path + " && ";
  EXPECT_EQ(vboard({"run", "--", "sh", "-c", same + "! test -e /usr/bin/xterm"}).status, 0);
  EXPECT_EQ(vboard({"run", "--bare", "--", "sh", "-c", absent + "true"}).status, 0);
  const fs::path other = tmp_.path() / "mcuload";
  std::ofstream(other) << "#!/bin/sh\necho other loader\n";
  fs::permissions(other, fs::perms::owner_all);
  EXPECT_EQ(vboard({"run", "--file", std::string(bench::kLoader) + "=" + other.string(), "--", bench::kLoader}).out,
            "other loader\n");
}
