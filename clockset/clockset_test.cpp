// clockset on the bench. Where the system clock matters, libfaketime gives the tool a chosen one
// (the board's chip keeps the host's time); the host's clock is only ever read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "bench.h"

namespace {

using Bytes = std::vector<int>;

#ifdef LIBFAKETIME
const char* const kFaketime = LIBFAKETIME;
#else
const char* const kFaketime = nullptr;
#endif

const char* const kHelp =
    "Set the RTC from the system clock, or from the date and time given\n"
    "format : clockset [-h] [--now] [--utc] [YYYY-MM-DD HH:MM[:SS]]\n"
    "        no date : the system clock's local time (--utc: its UTC time)\n"
    "        the RTC's seconds are set to 0, so the write waits for the start of\n"
    "        the next minute (at most 60 s); --now writes the current minute at once\n";

class Clockset : public ::testing::Test {
 protected:
  void SetUp() override {
    board->setRtcHold(true);
    board->setRtcTime(2021, 3, 4, 5, 6, 7);  // far from any time written here
    board->clearTrace();
  }
  bench::RunResult set(std::vector<std::string> args, std::vector<std::string> env = {"TZ=UTC"}) {
    args.insert(args.begin(), "clockset");
    return bench::run(*board, {.argv = args, .timeoutMs = 70000, .env = env});
  }
  // The tool with the system clock at `when` (local time of TZ) when it starts.
  bench::RunResult setAt(const std::string& when, std::vector<std::string> args, const std::string& tz = "UTC") {
    if (!kFaketime) return {};
    return set(args, {"TZ=" + tz, std::string("LD_PRELOAD=") + kFaketime, "FAKETIME=@" + when});
  }
  Bytes clockRegisters() {
    const auto r = board->rtcRegisters();
    return {r.begin(), r.begin() + 7};
  }
  // The register writes in the trace, and when the first was made.
  std::vector<Bytes> writes(std::int64_t* firstUs = nullptr) {
    std::vector<Bytes> w;
    for (const auto& e : board->trace("i2c-write")) {
      if (w.empty() && firstUs) *firstUs = e.us;
      w.push_back(e.args);
    }
    return w;
  }
  bench::ScratchBoard board;
};

std::vector<Bytes> dateWrites(Bytes regs) {
  std::vector<Bytes> w;
  for (int r = 0; r < 7; ++r) w.push_back({r, regs[r], 0});
  return w;
}

#define NEED_FAKETIME() \
  if (!kFaketime) GTEST_SKIP() << "libfaketime is not installed for this build's machine"

}  // namespace

// Several seconds past the minute, the write waits for the next one and lands at its start.
TEST_F(Clockset, WritesTheNextMinuteOfTheSystemClockAtItsStart) {
  NEED_FAKETIME();
  for (const auto& [when, wait] : {std::pair{"2026-12-08 10:15:58", 2}, {"2026-12-08 10:15:59", 1}}) {
    SCOPED_TRACE(when);
    board->clearTrace();
    const auto r = setAt(when, {});
    EXPECT_EQ(r.out, "OK RTC set to 08/12/2026 10:16:00\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    std::int64_t writeUs = 0;
    // 8 December 2026 is a Tuesday: week day 3.
    EXPECT_EQ(writes(&writeUs), dateWrites({0x00, 0x16, 0x10, 0x03, 0x08, 0x12, 0x26}));
    const double waited = static_cast<double>(writeUs - r.startUs) / 1e6;
    EXPECT_GE(waited, wait - 0.05);
    EXPECT_LT(waited, wait + 0.5);
    EXPECT_EQ(clockRegisters(), (Bytes{0x00, 0x16, 0x10, 0x03, 0x08, 0x12, 0x26}));
  }
}

TEST_F(Clockset, NowWritesTheCurrentMinuteAtOnce) {
  NEED_FAKETIME();
  const auto r = setAt("2027-06-13 23:59:30", {"--now"});
  EXPECT_EQ(r.out, "OK RTC set to 13/06/2027 23:59:00\n");
  EXPECT_LT(r.seconds, 1.0);
  EXPECT_EQ(clockRegisters(), (Bytes{0x00, 0x59, 0x23, 0x01, 0x13, 0x06, 0x27}));  // a Sunday: 1
}

// The board holds local time, as clocksync hands it to date; --utc writes UTC instead.
TEST_F(Clockset, LocalTimeOrUtc) {
  NEED_FAKETIME();
  // Three hours east of Greenwich; the faked clock is given in that zone's time.
  auto r = setAt("2026-12-08 01:20:59", {}, "XYZ-3");
  EXPECT_EQ(r.out, "OK RTC set to 08/12/2026 01:21:00\n");
  r = setAt("2026-12-08 01:20:59", {"--utc"}, "XYZ-3");
  EXPECT_EQ(r.out, "OK RTC set to 07/12/2026 22:21:00\n");
  EXPECT_EQ(clockRegisters(), (Bytes{0x00, 0x21, 0x22, 0x02, 0x07, 0x12, 0x26}));  // a Monday: 2
}

TEST_F(Clockset, ASystemClockOutsideTheChipsCenturyIsRefused) {
  NEED_FAKETIME();
  const auto r = setAt("2100-01-01 00:00:30", {"--now"});
  EXPECT_EQ(r.out, "NO the system clock is outside 2000-2099: 2100-01-01 00:00\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(writes().empty());
}

TEST_F(Clockset, AGivenSecondThatCarriesPastTheCenturyIsRefused) {
  const auto r = set({"2099-12-31 23:59:59"});
  EXPECT_EQ(r.out, "NO the minute to write is outside 2000-2099: 2100-01-01 00:00\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(writes().empty());
}

// The done-when check with the host's own clock: the board then shows the system clock's time.
// This waits for the host's next minute, up to 60 s.
TEST_F(Clockset, WithTheHostsClockTheWriteLandsInTheFirst50MsOfAMinute) {
  board->setRtcHold(false);
  const auto r = set({});
  ASSERT_EQ(r.status, 0) << r.out;
  const auto shown = bench::run(*board, {.argv = {"clockshow", "-t"}, .env = {"TZ=UTC"}});
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char hhmm[8];
  std::strftime(hhmm, sizeof hhmm, "%H:%M\n", &tm);
  EXPECT_EQ(shown.out, hhmm);
  // The write's wall time, from the trace's monotonic one.
  timespec real{}, mono{};
  clock_gettime(CLOCK_REALTIME, &real);
  clock_gettime(CLOCK_MONOTONIC, &mono);
  const std::int64_t offsetUs = (real.tv_sec - mono.tv_sec) * 1000000LL + (real.tv_nsec - mono.tv_nsec) / 1000;
  std::int64_t writeUs = 0;
  ASSERT_EQ(writes(&writeUs).size(), 7u);
  const std::int64_t intoMinuteMs = (writeUs + offsetUs) % 60000000 / 1000;
  EXPECT_LT(intoMinuteMs, 50) << "the write was made " << intoMinuteMs << " ms into its minute";
}

TEST_F(Clockset, ExplicitDatesAreWrittenAtOnceWithTheirWeekDay) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
    Bytes regs;
  };
  for (const Case& c : std::vector<Case>{
           {{"2028-02-29 12:00"}, "OK RTC set to 29/02/2028 12:00:00\n", {0x00, 0x00, 0x12, 0x03, 0x29, 0x02, 0x28}},
           {{"2099-12-31", "23:59"}, "OK RTC set to 31/12/2099 23:59:00\n", {0x00, 0x59, 0x23, 0x05, 0x31, 0x12, 0x99}},
           {{"2000-01-01 0:00"}, "OK RTC set to 01/01/2000 00:00:00\n", {0x00, 0x00, 0x00, 0x07, 0x01, 0x01, 0x00}},
           {{"--now", "2026-06-14 07:05:42"}, "OK RTC set to 14/06/2026 07:05:00\n", {0x00, 0x05, 0x07, 0x01, 0x14, 0x06, 0x26}},
           {{"2026-06-14 07:05:00", "--utc"}, "OK RTC set to 14/06/2026 07:05:00\n", {0x00, 0x05, 0x07, 0x01, 0x14, 0x06, 0x26}}}) {
    SCOPED_TRACE(c.args[0]);
    board->clearTrace();
    const auto r = set(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(r.seconds, 1.0);
    EXPECT_EQ(writes(), dateWrites(c.regs));
    EXPECT_EQ(board->trace("i2c-read").size(), 8u) << "read back, the seconds twice";
  }
}

// A given second: the written minute starts when the given second would have reached it.
TEST_F(Clockset, AGivenSecondIsKeptByWaitingForTheNextMinute) {
  const auto r = set({"2026-12-31 23:59:58"});
  EXPECT_EQ(r.out, "OK RTC set to 01/01/2027 00:00:00\n");
  std::int64_t writeUs = 0;
  EXPECT_EQ(writes(&writeUs), dateWrites({0x00, 0x00, 0x00, 0x06, 0x01, 0x01, 0x27}));
  const double waited = static_cast<double>(writeUs - r.startUs) / 1e6;
  EXPECT_GE(waited, 1.95);
  EXPECT_LT(waited, 2.5);
}

// Only on a terminal does the tool say that it waits.
TEST_F(Clockset, SaysItWaitsOnATerminalOnly) {
  bench::Sketch terminal;
  terminal.line.setPlain();
  const auto r = bench::run(*board, {.argv = {"sh", "-c", "clockset 2026-12-08 10:15:59 >/dev/ttyS0"},
                                     .lines = {{"/dev/ttyS0", terminal.line.slavePath()}}});
  EXPECT_EQ(r.status, 0);
  const std::string said = "Waiting 1 s for the next minute to start...\nOK RTC set to 08/12/2026 10:16:00\n";
  EXPECT_TRUE(terminal.peer.waitReceived(said, 2000)) << terminal.peer.receivedBytes();
  EXPECT_EQ(set({"2026-12-08 10:15:59"}).out, "OK RTC set to 08/12/2026 10:16:00\n");
}

TEST_F(Clockset, DatesThatDoNotExistAreRefusedBeforeAnyTransfer) {
  for (const std::string text : {"2025-02-29 10:00", "2026-13-01 10:00", "2026-04-31 10:00", "2026-00-10 10:00",
                                 "1999-12-31 23:59", "2100-01-01 00:00", "2026-12-08 24:00", "2026-12-08 10:60",
                                 "2026-12-08 10:15:60", "2026-12-08", "10:15", "2026-12-08T10:15", "26-12-08 10:15",
                                 "2026-12-08 10:15 x"}) {
    SCOPED_TRACE(text);
    board->clearTrace();
    const auto r = set({text});
    EXPECT_EQ(r.out, "NO not a date and time of 2000-2099: " + text + " (YYYY-MM-DD HH:MM[:SS])\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(board->trace().empty()) << "the board was touched";
  }
  const auto r = set({"--later"});
  EXPECT_EQ(r.out, "NO unknown option --later (clockset -h for help)\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(board->trace().empty());
}

// The board keeps local time: a time that the zone skips (here as Berlin's rules have it) is
// refused before any transfer; one that it repeats, and any time in UTC, are written.
TEST_F(Clockset, ALocalTimeTheZoneSkipsIsRefused) {
  const std::vector<std::string> berlin = {"TZ=CET-1CEST,M3.5.0,M10.5.0/3"};
  for (const auto& [text, minute] : {std::pair{"2027-03-28 02:30", "02:30"}, {"2027-03-28 01:59:30", "02:00"}}) {
    board->clearTrace();
    const auto r = set({text}, berlin);
    EXPECT_EQ(r.out, std::string("NO 2027-03-28 ") + minute +
                         " does not exist in local time: the clocks go forward from 02:00 to 03:00\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(board->trace().empty()) << "the board was touched";
  }
  for (const std::vector<std::string>& args : {std::vector<std::string>{"2027-03-28 02:30", "--utc"}, {"2027-10-31 02:30"}}) {
    const auto r = set(args, berlin);
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.out;
  }
}

TEST_F(Clockset, EachFaultOfTheBusIsReportedAndNothingIsClaimed) {
  for (auto bus : {simboard::RtcBus::kNoBus, simboard::RtcBus::kDenied, simboard::RtcBus::kBusy}) {
    board->setRtcBus(bus);
    const auto r = set({"2026-12-08 10:15"});
    EXPECT_EQ(r.out, "NO RTC found!\n") << simboard::busName(bus);
    EXPECT_EQ(r.status, 255);
  }
  board->setRtcBus(simboard::RtcBus::kNoChip);
  auto r = set({"2026-12-08 10:15"});
  EXPECT_EQ(r.out, "NO RTC write failed!\n");
  EXPECT_EQ(r.status, 255);
  board->setRtcBus(simboard::RtcBus::kOk);
  board->setRtcFailAfter(3);  // the time goes in, the date does not
  r = set({"2026-12-08 10:15"});
  EXPECT_EQ(r.out, "NO RTC write failed!\n");
  EXPECT_EQ(r.status, 255);
  board->setRtcFailAfter(7);  // written, but not read back
  r = set({"2026-12-08 10:15"});
  EXPECT_EQ(r.out, "NO RTC read failed!\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(clockRegisters(), (Bytes{0x00, 0x15, 0x10, 0x03, 0x08, 0x12, 0x26}));
}

TEST_F(Clockset, HelpTouchesNothing) {
  for (const char* word : {"-h", "--help"}) {
    const auto r = set({"2026-12-08 10:15", word});
    EXPECT_EQ(r.out, kHelp);
    EXPECT_EQ(r.status, 0);
  }
  EXPECT_TRUE(board->trace().empty());
}
