// clockset: set the board's RTC from the system clock, or from a date and time given.
//
// The library writes the seconds as 0, so the write is made when the time to be written starts
// a minute: the system clock's next minute, or the minute after a given time with seconds.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <cctype>
#include <string>
#include <thread>
#include <vector>

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
  std::tm check = tm;
  timegm(&check);  // normalises a date that does not exist into another
  if (tm.tm_year < 100 || tm.tm_year > 199 || check.tm_year != tm.tm_year || check.tm_mon != tm.tm_mon ||
      check.tm_mday != tm.tm_mday || check.tm_hour != tm.tm_hour || check.tm_min != tm.tm_min ||
      check.tm_sec != tm.tm_sec)
    return std::nullopt;
  return check;  // with its day of the week
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
    given.tm_min += 1;
  }
  given.tm_sec = 0;
  timegm(&given);
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
  if (!readDate()) {
    std::puts(readFailure());
    return -1;
  }
  if (!validDate()) {
    std::puts("NO RTC time invalid!");
    return -1;
  }
  std::printf("OK RTC set to %2.2d/%2.2d/%4d %2.2d:%2.2d:%2.2d\n", Date.Day, Date.Month, Date.Year, Date.Hour, Date.Min,
              Date.Sec);
  return 0;
}
