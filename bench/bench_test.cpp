// vboard as a person uses it: each command as a process, on a board directory.
#include <gtest/gtest.h>

#include <fstream>

#include "bench.h"

namespace {

class Vboard : public ::testing::Test {
 protected:
  bench::RunResult vboard(std::vector<std::string> args) {
    args.insert(args.begin(), {(bench::toolDir().parent_path() / "vboard").string(), "--board", dir()});
    return bench::run(host_.get(), {.argv = args, .timeoutMs = 20000});
  }
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

TEST_F(Vboard, TracePrintsTheToolsTransfers) {
  vboard({"rtc", "hold"});
  vboard({"rtc", "regs", "45", "59", "23", "07", "31", "12", "99"});
  vboard({"trace", "--clear"});
  vboard({"run", "--", "clockshow"});
  auto r = vboard({"trace"});
  std::istringstream lines(r.out);
  std::vector<std::string> ops;
  for (std::string us, pid, rest; lines >> us >> pid && std::getline(lines, rest);) ops.push_back(rest);
  ASSERT_EQ(ops.size(), 9u) << r.out;
  EXPECT_EQ(ops[0], " gpio-setup 0");
  EXPECT_EQ(ops[1].substr(0, 15), " i2c-setup 104 ");
  EXPECT_EQ(ops[2], " i2c-read 0 69");  // 0x45
  EXPECT_EQ(ops[8], " i2c-read 6 153");
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
  EXPECT_EQ(vboard({"run", "--", "sh", "-c", "exit 3"}).status, 3);
  auto r = vboard({"run", "--", "sh", "-c", "sudo date -s '12/25/2026 18:30:00' >/dev/null; date '+%d/%m/%Y %H:%M'"});
  EXPECT_EQ(r.out, "25/12/2026 18:30\n");
  r = vboard({"commands"});
  EXPECT_EQ(r.out,
            "sudo date -s 12/25/2026 18:30:00\n"
            "date -s 12/25/2026 18:30:00\n"
            "date +%d/%m/%Y %H:%M\n");
  r = vboard({"run", "--timeout", "1", "--", "sleep", "30"});
  EXPECT_EQ(r.status, 124);
  EXPECT_LT(r.seconds, 5);
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
