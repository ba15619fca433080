// clockset: set the board's RTC from the system clock, or from a date and time given.
//
// The library writes the seconds as 0, so the write is made when the time to be written starts
// a minute: the system clock's next minute, or the minute after a given time with seconds.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

#include "rtclib.h"
#include "stdfds.h"

namespace {

using std::chrono::steady_clock;

[[noreturn]] void help() {
  std::puts("Set the RTC from the system clock, or from the date and time given");
  std::puts("format : clockset [-h] [--now] [--utc] [YYYY-MM-DD HH:MM[:SS]]");
  std::puts("        no date : the system clock's local time (--utc: its UTC time)");
  std::puts("        the RTC's seconds are set to 0, so the write waits for the start of");
  std::puts("        the next minute (at most 60 s); --now writes the current minute at once");
  std::exit(0);
}

[[noreturn]] void refuse(const std::string& why) {
  std::printf("NO %s\n", why.c_str());
  std::exit(-1);
}

std::string shown(const DateRecord& d) {
  char text[32];
  std::snprintf(text, sizeof text, "%4d-%2.2d-%2.2d %2.2d:%2.2d", d.Year, d.Month, d.Day, d.Hour, d.Min);
  return text;
}

// Where the local zone skips `d` (its clocks go forward), the local times on either side of the
// gap, as "02:00 to 03:00"; nothing where `d` exists, or where a 32-bit time_t cannot tell.
std::optional<std::string> skippedBy(const DateRecord& d) {
  std::tm tm{};
  tm.tm_year = d.Year - 1900;
  tm.tm_mon = d.Month - 1;
  tm.tm_mday = d.Day;
  tm.tm_hour = d.Hour;
  tm.tm_min = d.Min;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == -1 || (tm.tm_mday == d.Day && tm.tm_hour == d.Hour && tm.tm_min == d.Min)) return std::nullopt;
  // The change of offset lies within a day of t: find the second it starts.
  const auto offset = [](std::time_t at) {
    std::tm local{};
    localtime_r(&at, &local);
    return local.tm_gmtoff;
  };
  std::time_t before = t - 86400, after = t + 86400;
  const long first = offset(before);
  while (after - before > 1) {
    const std::time_t mid = before + (after - before) / 2;
    (offset(mid) == first ? before : after) = mid;
  }
  // The wall time just after the old offset's last second, and the new offset's first.
  const std::time_t startWall = before + 1 + first;
  std::tm from{}, to{};
  gmtime_r(&startWall, &from);
  localtime_r(&after, &to);
  char gap[32];
  std::snprintf(gap, sizeof gap, "%2.2d:%2.2d to %2.2d:%2.2d", from.tm_hour, from.tm_min, to.tm_hour, to.tm_min);
  return std::string(gap);
}

void sayWaiting(long long seconds) {
  if (seconds <= 0 || !isatty(STDOUT_FILENO)) return;
  std::printf("Waiting %lld s for the next minute to start...\n", seconds);
  std::fflush(stdout);
}

// The system clock's minute to write: the next one, once it has started, or with `now` the
// current one at once. The wait is bounded on the monotonic clock, so that a system clock set
// back meanwhile (an NTP step after boot) cannot make it longer; the minute written is then the
// one the system clock shows.
DateRecord systemMinute(bool now, bool utc) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  if (!now) {
    const std::time_t next = ts.tv_sec - ts.tv_sec % 60 + 60;
    sayWaiting(next - ts.tv_sec);
    const auto untilNext = [&] { return std::chrono::seconds(next - ts.tv_sec) - std::chrono::nanoseconds(ts.tv_nsec); };
    const auto deadline = steady_clock::now() + untilNext();
    for (auto left = untilNext(); left > left.zero(); left = untilNext()) {
      const auto bound = deadline - steady_clock::now();
      // Past the bound, only a clock that runs slow (slewed) by under a second is waited for.
      if (bound <= bound.zero() && left >= std::chrono::seconds(1)) break;
      std::this_thread::sleep_for(bound > bound.zero() ? std::min<steady_clock::duration>(left, bound) : left);
      clock_gettime(CLOCK_REALTIME, &ts);
    }
  }
  const std::time_t minute = ts.tv_sec - ts.tv_sec % 60;
  std::tm tm{};
  if (utc)
    gmtime_r(&minute, &tm);
  else
    localtime_r(&minute, &tm);
  // The week day as Linux's driver for this chip counts it, so that both read the board alike.
  return {0, tm.tm_min, tm.tm_hour, tm.tm_wday + 1, tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900};
}

}  // namespace

int main(int argc, char* argv[]) {
  const auto start = steady_clock::now();
  openStandardFds();
  bool now = false, utc = false, dated = false;
  std::string text;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "-h" || word == "--help") help();
    if (word == "--now") {
      now = true;
    } else if (word == "--utc") {
      utc = true;
    } else if (word.starts_with("-")) {
      refuse("unknown option " + word + " (clockset -h for help)");
    } else {
      text += (dated ? " " : "") + word;
      dated = true;
    }
  }
  // A given time with seconds starts its next minute that many seconds after the command.
  DateRecord given{};
  bool withSeconds = false;
  int wait = 0;
  if (dated) {
    if (!parseDateTime(text, given, withSeconds))
      refuse("not a date and time of 2000-2099: " + text + " (YYYY-MM-DD HH:MM[:SS])");
    if (withSeconds && given.Sec > 0 && !now) {
      wait = 60 - given.Sec;
      addMinutes(given, 1);
      if (given.Year > 2099) refuse("the minute to write is outside 2000-2099: " + shown(given));
    }
    given.Sec = 0;
    // The board keeps local time: one that the zone skips would be refused by date later.
    if (!utc)
      if (const auto gap = skippedBy(given))
        refuse(shown(given) + " does not exist in local time: the clocks go forward from " + *gap);
  }

  openRTC();
  if (iddev < 0) {
    std::puts(readFailure());
    return -1;
  }
  if (dated) {
    sayWaiting(wait);
    std::this_thread::sleep_until(start + std::chrono::seconds(wait));
    Date = given;
  } else {
    Date = systemMinute(now, utc);
    if (Date.Year < 2000 || Date.Year > 2099) refuse("the system clock is outside 2000-2099: " + shown(Date));
  }
  if (!writeDate()) {
    std::puts("NO RTC write failed!");
    return -1;
  }
  confirmDone("the RTC is set");
  if (const char* problem = readValidDate()) {
    std::puts(problem);
    return -1;
  }
  std::printf("OK RTC set to %2.2d/%2.2d/%4d %2.2d:%2.2d:%2.2d\n", Date.Day, Date.Month, Date.Year, Date.Hour, Date.Min,
              Date.Sec);
  return 0;
}
