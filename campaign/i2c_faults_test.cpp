// I2C transfers that fail part-way through a read or a write, and an RTC that is there for one
// run and gone for the next. Documented: a read or write of the clock that does not fully
// succeed is reported, never decoded into a made-up date nor claimed done. clockshow's date
// formats, clocksync and clockprobe print a line beginning "NO" (clocksync then starts no
// clock command, so the system clock is never set from a failed read); rtcpeek keeps its three
// lines, with the fields that could not be read left at 0; alarmclear prints its error line.
// All of them end with status 255. Nothing of a failure outlives the run.
// The same holds for each fault of the bus a Pi may have: no /dev/i2c-1 (I2C not enabled), a
// user outside group i2c, a kernel driver holding address 0x68 (the RTC is then "not found"),
// and no chip answering (every read fails). The library says nothing on standard error then,
// and clockshow's help needs no bus. A user outside group gpio reads the clock as any other.
#include <cstdio>

#include "bench.h"

namespace {

using campaign::expectSound;

// The help's first line; its whole text is clockshow's own tests' business.
const char* const kHelpStart = "Show RTC time\n";

class I2cFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    board->setRtcHold(true);
    board->setRtcTime(2026, 12, 7, 9, 5, 41);
  }
  // `argv` run once with `failAfter` transfers allowed to succeed (-1: all); its trace and the
  // commands it started are those of this run alone.
  bench::RunResult run(std::vector<std::string> argv, int failAfter) {
    board->clearTrace();
    std::filesystem::remove(board->commandLog());
    board->setRtcFailAfter(failAfter);
    auto r = bench::run(*board, {.argv = std::move(argv), .timeoutMs = 10000});
    board->setRtcFailAfter(-1);
    expectSound(r);
    return r;
  }
  struct Transfers {
    int handle = -2;  // what the setup returned
    int tried = 0, succeeded = 0;
  };
  Transfers transfers(const std::string& op) const {
    Transfers t;
    for (const auto& e : board.get().trace()) {
      if (e.op == "i2c-setup") t.handle = e.args[1];
      if (e.op != op) continue;
      ++t.tried;
      if (e.args.back() >= 0) ++t.succeeded;
    }
    return t;
  }
  bench::ScratchBoard board;
};

// rtcpeek's date line when the first `n` of registers 0 to 6 were read: the others stay 0.
std::string peekLine(int n) {
  char line[64];
  std::snprintf(line, sizeof line, "%2.2d/%2.2d/%4d %2.2d:%2.2d\n", n > 4 ? 7 : 0, n > 5 ? 12 : 0, n > 6 ? 2026 : 0,
                n > 2 ? 9 : 0, n > 1 ? 5 : 0);
  return line;
}

}  // namespace

// Reads of registers 0 to 6, then of the seconds again, that fail from the (n+1)th on, n = 0 to
// 7, and all eight succeeding.
TEST_F(I2cFaults, AReadFailingPartWayIsReportedNeverDecoded) {
  for (int n = 0; n <= 8; ++n) {
    SCOPED_TRACE("reads that succeed: " + std::to_string(n));
    const bool whole = n == 8;
    for (const char* opt : {"", "-t", "-s", "-T"}) {
      SCOPED_TRACE(opt);
      std::vector<std::string> argv = {"clockshow"};
      if (*opt) argv.push_back(opt);
      auto r = run(argv, n);
      const std::string date = *opt == '\0' ? "07/12/2026 09:05\n" : opt[1] == 's' ? "2026-12-07 09:05" : "09:05\n";
      EXPECT_EQ(r.out, whole ? date : "NO RTC read failed!\n");
      EXPECT_EQ(r.status, whole ? 0 : 255);
      const auto t = transfers("i2c-read");
      EXPECT_EQ(t.tried, n < 7 ? 7 : 8) << "every register is tried, and the seconds again after all seven";
      EXPECT_EQ(t.succeeded, n);
    }
    auto r = run({"clockshow", "-h"}, n);  // the help needs no clock
    EXPECT_TRUE(r.out.starts_with(kHelpStart)) << r.out;
    EXPECT_EQ(r.status, 0);

    r = run({"clocksync"}, n);
    if (whole) {
      EXPECT_TRUE(r.out.starts_with("RTC date : 07/12/2026 09:05:00\n")) << r.out;
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(board->commands().at(0), (std::vector<std::string>{"sudo", "date", "-s", "12/07/2026 09:05:00"}));
    } else {
      EXPECT_EQ(r.out, "NO RTC read failed!\n");
      EXPECT_EQ(r.status, 255);
      EXPECT_TRUE(board->commands().empty()) << "a clock command ran after a failed read";
    }
    EXPECT_EQ(transfers("i2c-write").tried, 0) << "clocksync never writes the clock";

    r = run({"clockprobe"}, n);
    EXPECT_EQ(r.out, whole ? "RTC Date:  07/12/2026 09:05\n" : "RTC Date:  NO RTC read failed!\n");
    EXPECT_EQ(r.status, whole ? 0 : 255);

    r = run({"rtcpeek"}, n);
    const auto t = transfers("i2c-read");
    EXPECT_EQ(r.out, "Hello world!\n" + std::to_string(t.handle) + "\n" + peekLine(n));
    EXPECT_GE(t.handle, 0);
    EXPECT_EQ(t.succeeded, n);
    EXPECT_EQ(r.status, whole ? 0 : 255);
  }
}

// alarmclear's four writes failing from the (n+1)th on: the error line unless all four went.
TEST_F(I2cFaults, AWriteFailingPartWayIsReportedNeverClaimed) {
  for (int n = 0; n <= 6; ++n) {
    SCOPED_TRACE("writes that succeed: " + std::to_string(n));
    auto r = run({"alarmclear"}, n);
    const bool whole = n >= 4;
    EXPECT_EQ(r.out, whole ? "Alarm reset!\n" : "Error I2C; no alarm resetting!\n");
    EXPECT_EQ(r.status, whole ? 0 : 255);
    const auto t = transfers("i2c-write");
    EXPECT_EQ(t.tried, 4);
    EXPECT_EQ(t.succeeded, std::min(n, 4));
  }
}

// The RTC answers one run and is gone for the next: each tool says so at once, without a
// transfer, and all is well again once it is back.
TEST_F(I2cFaults, AnRtcGoneBetweenTwoRunsIsReportedAndNothingLingers) {
  struct Expect {
    std::vector<std::string> argv;
    std::string present, absent;
  };
  const std::vector<Expect> tools = {
      {{"clockshow"}, "07/12/2026 09:05\n", "NO RTC found!\n"},
      {{"clockshow", "-s"}, "2026-12-07 09:05", "NO RTC found!\n"},
      {{"clockprobe"}, "RTC Date:  07/12/2026 09:05\n", "RTC Date:  NO RTC found!\n"},
      {{"alarmclear"}, "Alarm reset!\n", "Error I2C; no alarm resetting!\n"},
      {{"rtcpeek"}, "Hello world!\n", "Hello world!\n-1\n00/00/   0 00:00\n"},
      {{"clocksync"}, "RTC date : 07/12/2026 09:05:00\n", "NO RTC found!\n"},
  };
  for (bool present : {true, false, true}) {
    board->setRtcBus(present ? simboard::RtcBus::kOk : simboard::RtcBus::kNoBus);
    for (const auto& tool : tools) {
      SCOPED_TRACE(tool.argv[0] + (present ? " present" : " gone"));
      auto r = run(tool.argv, -1);
      if (present) {
        EXPECT_TRUE(r.out.starts_with(tool.present)) << r.out;
        EXPECT_EQ(r.status, 0);
        continue;
      }
      EXPECT_EQ(r.out, tool.absent);
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(transfers("i2c-read").tried + transfers("i2c-write").tried, 0) << "transfers with no RTC open";
      EXPECT_TRUE(board->commands().empty());
    }
  }
}

TEST_F(I2cFaults, EachFaultOfTheBusIsReportedByEveryClockTool) {
  using simboard::RtcBus;
  for (RtcBus bus : {RtcBus::kNoBus, RtcBus::kDenied, RtcBus::kBusy, RtcBus::kNoChip}) {
    SCOPED_TRACE(simboard::busName(bus));
    board->setRtcBus(bus);
    const bool opens = bus == RtcBus::kNoChip;
    const std::string no = opens ? "NO RTC read failed!\n" : "NO RTC found!\n";
    struct Expect {
      std::vector<std::string> argv;
      std::string out;
      int status;
    };
    const std::vector<Expect> tools = {
        {{"clockshow"}, no, 255},
        {{"clockshow", "-t"}, no, 255},
        {{"clockshow", "-s"}, no, 255},
        {{"clockshow", "-x"}, "", 0},
        {{"clocksync"}, no, 255},
        {{"clockprobe"}, "RTC Date:  " + no, 255},
        {{"alarmclear"}, "Error I2C; no alarm resetting!\n", 255},
    };
    for (const auto& tool : tools) {
      SCOPED_TRACE(tool.argv.back());
      auto r = run(tool.argv, -1);
      EXPECT_EQ(r.out, tool.out);
      EXPECT_EQ(r.status, tool.status);
      EXPECT_EQ(r.err, "");
      EXPECT_TRUE(board->commands().empty()) << "a clock command ran";
      const auto reads = transfers("i2c-read"), writes = transfers("i2c-write");
      EXPECT_EQ(reads.succeeded + writes.succeeded, 0);
      if (!opens) {
        EXPECT_EQ(reads.tried + writes.tried, 0) << "transfers with no RTC open";
      }
    }
    // The help needs no bus at all.
    auto r = run({"clockshow", "-h"}, -1);
    EXPECT_TRUE(r.out.starts_with(kHelpStart)) << r.out;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(transfers("i2c-read").tried + transfers("i2c-write").tried, 0);
    r = run({"rtcpeek"}, -1);
    const auto t = transfers("i2c-read");
    EXPECT_EQ(r.out, "Hello world!\n" + std::to_string(t.handle) + "\n00/00/   0 00:00\n");
    EXPECT_EQ(t.handle >= 0, opens);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");
  }
  board->setRtcBus(simboard::RtcBus::kOk);
  board->setGpioDenied(true);
  auto r = run({"clockshow"}, -1);
  EXPECT_EQ(r.out, "07/12/2026 09:05\n");
  EXPECT_EQ(r.status, 0);
  r = run({"alarmclear"}, -1);
  EXPECT_EQ(r.out, "Alarm reset!\n");
  EXPECT_EQ(r.status, 0);
}
