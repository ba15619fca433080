#include <gtest/gtest.h>

#include <algorithm>

#include "bench.h"

namespace {

// A short press, in ms from the start of the schedule.
struct Press {
  int fromMs;
  int toMs;
};

// Each output line with the time the bench read it.
std::vector<std::pair<std::int64_t, std::string>> linesAsTheyCame(const bench::RunResult& r) {
  std::vector<std::pair<std::int64_t, std::string>> lines;
  std::string pending;
  for (const auto& [us, bytes] : r.outChunks) {
    for (char c : bytes) {
      if (c != '\n') {
        pending += c;
        continue;
      }
      lines.emplace_back(us, pending);
      pending.clear();
    }
  }
  return lines;
}

}  // namespace

// One watch of about 100 s against a schedule of button levels: released for 5 s, held for
// 2 s, short presses that a poll may or may not meet, a press of 250 ms, then held from
// 95 s to the end.
TEST(Buttonwatch, ReportsEachPollThatFindsTheButtonPressed) {
  bench::ScratchBoard board;
  std::vector<simboard::LevelStep> schedule = {{0, 0}, {5000, 1}, {7000, 0}};
  std::vector<Press> shortPresses;
  for (int k = 0; k < 20; ++k) {
    const int from = 10000 + k * 1000 + k * 5;  // each 5 ms later against the 100 ms polls
    shortPresses.push_back({from, from + 20});
    schedule.push_back({from, 1});
    schedule.push_back({from + 20, 0});
  }
  schedule.insert(schedule.end(), {{40000, 1}, {40250, 0}, {95000, 1}});

  const std::int64_t scheduleUs = bench::monotonicMicros();
  board->setSchedule(24, schedule);
  bench::RunOptions runOptions;
  runOptions.argv = {"buttonwatch", "-x", "x"};
  runOptions.timeoutMs = 150000;
  auto r = bench::run(*board, runOptions);
  ASSERT_FALSE(r.timedOut);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.err.empty()) << r.err;

  // Set-up, then 1000 readings of the button and nothing else: no output pin, no reset line.
  const auto trace = board->trace();
  ASSERT_GE(trace.size(), 3u);
  EXPECT_EQ(trace[0].op, "gpio-setup");
  EXPECT_EQ(trace[1].op, "gpio-mode");
  EXPECT_EQ(trace[1].args, (std::vector<int>{24, 0}));
  EXPECT_EQ(trace[2].op, "gpio-pull");
  EXPECT_EQ(trace[2].args, (std::vector<int>{24, 1})) << "pull-down";
  std::vector<simboard::TraceEvent> reads(trace.begin() + 3, trace.end());
  ASSERT_EQ(reads.size(), 1000u);
  for (const auto& e : reads) {
    ASSERT_EQ(e.op, "gpio-read");
    ASSERT_EQ(e.args[0], 24);
  }
  EXPECT_EQ(board->pin(23).mode, 0) << "the reset line is not touched";

  // One "Tasto premuto" for each reading of 1, then "Fine!".
  std::vector<std::int64_t> pressedAt;
  for (const auto& e : reads)
    if (e.args[1] == 1) pressedAt.push_back(e.us);
  std::string expected;
  for (std::size_t i = 0; i < pressedAt.size(); ++i) expected += "Tasto premuto\n";
  EXPECT_EQ(r.out, expected + "Fine!\n");

  auto msOf = [&](std::int64_t us) { return (us - scheduleUs) / 1000.0; };
  auto linesBetween = [&](double fromMs, double toMs) {
    return std::count_if(pressedAt.begin(), pressedAt.end(),
                         [&](std::int64_t us) { return msOf(us) >= fromMs && msOf(us) < toMs; });
  };
  EXPECT_EQ(linesBetween(0, 5000), 0) << "no press, no line";
  EXPECT_GE(linesBetween(5000, 7000), 18) << "a held press gives a line per poll";
  EXPECT_LE(linesBetween(5000, 7000), 21);
  EXPECT_GE(linesBetween(40000, 40250), 2);
  EXPECT_LE(linesBetween(40000, 40250), 3);

  // Short presses that fell between two readings leave no trace in the output.
  int unseen = 0;
  for (const auto& p : shortPresses) {
    const bool polled = std::any_of(reads.begin(), reads.end(), [&](const simboard::TraceEvent& e) {
      return msOf(e.us) >= p.fromMs - 2 && msOf(e.us) < p.toMs + 2;
    });
    if (!polled) {
      ++unseen;
      EXPECT_EQ(linesBetween(p.fromMs - 2, p.toMs + 2), 0);
    }
  }
  EXPECT_GE(unseen, 1) << "a 20 ms press is seen only when a poll meets it (how many fall between polls depends on the load)";
  EXPECT_GE(linesBetween(95000, 1e9), 40) << "held to the end";

  // 100 ms between readings, about 100 s in all.
  std::vector<std::int64_t> gaps;
  for (std::size_t i = 1; i < reads.size(); ++i) gaps.push_back(reads[i].us - reads[i - 1].us);
  std::sort(gaps.begin(), gaps.end());
  EXPECT_GE(gaps.front(), 100000);
  EXPECT_LT(gaps[gaps.size() / 2], 110000);
  EXPECT_GE(r.seconds, 100.0);
  EXPECT_LT(r.seconds, 115.0);

  // Each line reaches the pipe as it is printed, not at the end.
  const auto lines = linesAsTheyCame(r);
  ASSERT_EQ(lines.size(), pressedAt.size() + 1);
  for (std::size_t i = 0; i < pressedAt.size(); ++i) {
    EXPECT_GE(lines[i].first, pressedAt[i]);
    EXPECT_LT(lines[i].first - pressedAt[i], 100000) << "line " << i << " came late";
  }
  const std::int64_t fineAfterUs = lines.back().first - reads.back().us;
  EXPECT_GE(fineAfterUs, 100000) << "the last reading is followed by its sleep";
  EXPECT_LT(fineAfterUs, 300000);
}

TEST(Buttonwatch, WithoutGpioAccessSaysSoAndReadsNothing) {
  bench::ScratchBoard board;
  board->setGpioDenied(true);
  auto r = bench::run(*board, {.argv = {"buttonwatch"}});
  EXPECT_EQ(r.out, "NO GPIO access (add the user to group gpio, or run as root)\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(r.err.empty()) << r.err;
  EXPECT_EQ(simboard::describe(board->trace()), std::vector<std::string>{"gpio-setup -1"});
}
