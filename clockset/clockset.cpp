// clockset: set the board's RTC from the system clock, or from a date and time given.
//
// The library writes the seconds as 0, so the write is made when the time to be written starts
// a minute: the system clock's next minute, or the minute after a given time with seconds.
#include <unistd.h>

#include <cctype>
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

// The day of the week of a date, by the calendar's own arithmetic: a 32-bit time_t, as on the
// armhf Pis, ends in 2038, and timegm would fail for the later years the chip holds.
void setWeekDay(std::tm& tm) {
  int y = tm.tm_year + 1900;
  const int m = tm.tm_mon + 1;
  if (m <= 2) --y;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + tm.tm_mday - 1;
  const long long days = 365LL * y + y / 4 - y / 100 + y / 400 + doy;  // from 1 March of year 0
  tm.tm_wday = static_cast<int>((days + 3) % 7);                           // which was a Wednesday
}

// The number in `least` to `most` decimal digits at `at`, which moves past them; -1 without.
int digits(const std::string& text, std::size_t& at, std::size_t least, std::size_t most) {
  int v = 0;
  std::size_t n = 0;
  for (; at < text.size() && n < most && std::isdigit(static_cast<unsigned char>(text[at])); ++at, ++n)
    v = v * 10 + (text[at] - '0');
  return n >= least ? v : -1;
}

bool skip(const std::string& text, std::size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

// A date and time of 2000-2099 that exists, YYYY-MM-DD HH:MM[:SS], read as UTC so that no zone
// shifts it.
std::optional<std::tm> parseDate(const std::string& text, bool& withSeconds) {
  std::size_t at = 0;
  std::tm tm{};
  const int year = digits(text, at, 4, 4);
  const int month = skip(text, at, '-') ? digits(text, at, 2, 2) : -1;
  tm.tm_mday = skip(text, at, '-') ? digits(text, at, 2, 2) : -1;
  tm.tm_hour = skip(text, at, ' ') ? digits(text, at, 1, 2) : -1;
  tm.tm_min = skip(text, at, ':') ? digits(text, at, 2, 2) : -1;
  withSeconds = skip(text, at, ':');
  tm.tm_sec = withSeconds ? digits(text, at, 2, 2) : 0;
  if (year < 0 || month < 0 || tm.tm_mday < 0 || tm.tm_hour < 0 || tm.tm_min < 0 || tm.tm_sec < 0 || at != text.size())
    return std::nullopt;
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  if (year < 2000 || year > 2099 || month < 1 || month > 12 || tm.tm_mday < 1 ||
      tm.tm_mday > daysInMonth(year, month) || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59)
    return std::nullopt;
  setWeekDay(tm);
  return tm;
}

void sayWaiting(long long seconds) {
  if (seconds <= 0 || !isatty(STDOUT_FILENO)) return;
  std::printf("Waiting %lld s for the next minute to start...\n", seconds);
  std::fflush(stdout);
}

// The system clock's minute to write: the next one, once it has started, or with `now` the
// current one at once.
std::tm systemMinute(bool now, bool utc) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::time_t minute = ts.tv_sec - ts.tv_sec % 60;
  if (!now) {
    minute += 60;
    sayWaiting(minute - ts.tv_sec);
    // Until the clock says so: a sleep may end early.
    while (ts.tv_sec < minute && ts.tv_sec >= minute - 60) {
      std::this_thread::sleep_for(std::chrono::seconds(minute - ts.tv_sec) - std::chrono::nanoseconds(ts.tv_nsec));
      clock_gettime(CLOCK_REALTIME, &ts);
    }
    // A clock set meanwhile: the minute it is in now.
    if (ts.tv_sec < minute || ts.tv_sec >= minute + 60) minute = ts.tv_sec - ts.tv_sec % 60;
  }
  std::tm tm{};
  if (utc)
    gmtime_r(&minute, &tm);
  else
    localtime_r(&minute, &tm);
  return tm;
}

// A given time with seconds starts its next minute that many seconds after the command.
std::tm givenMinute(std::tm given, bool withSeconds, bool now, std::chrono::steady_clock::time_point start) {
  if (withSeconds && given.tm_sec > 0 && !now) {
    const int wait = 60 - given.tm_sec;
    sayWaiting(wait);
    std::this_thread::sleep_until(start + std::chrono::seconds(wait));
    // The next minute, carried by hand for the same reason as setWeekDay.
    if (++given.tm_min == 60) {
      given.tm_min = 0;
      if (++given.tm_hour == 24) {
        given.tm_hour = 0;
        if (++given.tm_mday > daysInMonth(given.tm_year + 1900, given.tm_mon + 1)) {
          given.tm_mday = 1;
          if (++given.tm_mon == 12) {
            given.tm_mon = 0;
            ++given.tm_year;
          }
        }
      }
    }
    setWeekDay(given);
  }
  given.tm_sec = 0;
  return given;
}

}  // namespace

int main(int argc, char* argv[]) {
  const auto start = std::chrono::steady_clock::now();
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
  bool withSeconds = false;
  std::optional<std::tm> given;
  if (dated && !(given = parseDate(text, withSeconds)))
    refuse("not a date and time of 2000-2099: " + text + " (YYYY-MM-DD HH:MM[:SS])");

  openRTC();
  if (iddev < 0) {
    std::puts(readFailure());
    return -1;
  }
  const std::tm t = given ? givenMinute(*given, withSeconds, now, start) : systemMinute(now, utc);
  if (t.tm_year < 100 || t.tm_year > 199) {
    char shown[32];
    std::strftime(shown, sizeof shown, "%Y-%m-%d %H:%M", &t);
    refuse(std::string(given ? "the minute to write" : "the system clock") + " is outside 2000-2099: " + shown);
  }
  // The week day as Linux's driver for this chip counts it, so that both read the board alike.
  Date = {0, t.tm_min, t.tm_hour, t.tm_wday + 1, t.tm_mday, t.tm_mon + 1, t.tm_year + 1900};
  if (!writeDate()) {
    std::puts("NO RTC write failed!");
    return -1;
  }
  if (const char* problem = readValidDate()) {
    std::puts(problem);
    return -1;
  }
  std::printf("OK RTC set to %2.2d/%2.2d/%4d %2.2d:%2.2d:%2.2d\n", Date.Day, Date.Month, Date.Year, Date.Hour, Date.Min,
              Date.Sec);
  return 0;
}
