// alarmset: set the board's wake-up alarm (the chip's alarm 2) and let it signal on the chip's
// interrupt output, or clear it.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "rtclib.h"
#include "stdfds.h"
#include "wakeup.h"

namespace {

[[noreturn]] void help() {
  std::puts("Set the RTC wake-up alarm");
  std::puts("format : alarmset [-h] MIN | HH:MM [DAY | --weekday N] | YYYY-MM-DD HH:MM | --in MINUTES | --off");
  std::puts("        MIN                every hour at minute MIN (0-59)");
  std::puts("        HH:MM              every day at HH:MM");
  std::puts("        HH:MM DAY          on day DAY (1-31) of each month at HH:MM");
  std::puts("        HH:MM --weekday N  every week on day N (1 = Sunday ... 7 = Saturday) at HH:MM");
  std::puts("        YYYY-MM-DD HH:MM   on that date, up to 27 days ahead of the RTC's time");
  std::puts("        --in MINUTES       MINUTES from the RTC's time (at most 27 days)");
  std::puts("                           (these two set the day of the month: the alarm comes again a month later)");
  std::puts("        --off              no wake-up");
  std::exit(0);
}

[[noreturn]] void fail(const std::string& line) {
  std::puts(line.c_str());
  std::exit(-1);
}

bool allDigits(const std::string& word) {
  return !word.empty() &&
         std::all_of(word.begin(), word.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

bool oneOrTwoDigits(const std::string& word) { return word.size() <= 2 && allDigits(word); }

// One or two decimal digits within [lo, hi]; the library would fold anything else silently.
int number(const std::string& word, const char* what, int lo, int hi) {
  if (!oneOrTwoDigits(word)) fail(std::string("NO not a ") + what + ": " + word);
  const int v = std::stoi(word);
  if (v < lo || v > hi)
    fail(std::string("NO ") + what + " " + word + " out of range (" + std::to_string(lo) + "-" + std::to_string(hi) + ")");
  return v;
}

std::string shown(const DateRecord& d) {
  char text[32];
  std::snprintf(text, sizeof text, "%2.2d/%2.2d/%4d %2.2d:%2.2d", d.Day, d.Month, d.Year, d.Hour, d.Min);
  return text;
}

auto minuteOf(const DateRecord& d) { return std::tuple(d.Year, d.Month, d.Day, d.Hour, d.Min); }

// The one moment `target`, from the RTC's time `now`: the chip matches a day of the month, so
// only a moment less than a month ahead is the first one it matches.
void setOnce(const DateRecord& now, const DateRecord& target) {
  DateRecord last = now;
  addMinutes(last, 27 * 1440);
  if (minuteOf(target) <= minuteOf(now)) {
    char clock[8];
    std::snprintf(clock, sizeof clock, ":%2.2d", now.Sec);
    fail("NO " + shown(target) + " has passed: the RTC's time is " + shown(now) + clock);
  }
  if (minuteOf(target) > minuteOf(last))
    fail("NO " + shown(target) + " is more than 27 days ahead: the alarm keeps only the day of the month, so it " +
         "would fire on day " + std::to_string(target.Day) + " of an earlier month");
  Alarm = {false, target.Day, target.Hour, target.Min, false};
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const auto& a : args)
    if (a == "-h" || a == "--help") help();
  const bool off = args.size() == 1 && args[0] == "--off";
  // A moment, given as a date or as minutes from now, needs the RTC's time first.
  const bool in = !args.empty() && args[0] == "--in";
  const bool dated = !args.empty() && args[0].size() >= 5 && args[0][4] == '-' && args.size() <= 2;
  long long ahead = 0;
  DateRecord target{};
  if (in) {
    if (args.size() != 2 || !allDigits(args[1]) || args[1].size() > 6)
      fail("NO not a number of minutes: " + (args.size() > 1 ? args[1] : std::string()) + " (--in MINUTES)");
    ahead = std::stoll(args[1]);
  } else if (dated) {
    const std::string text = args.size() == 2 ? args[0] + " " + args[1] : args[0];
    bool withSeconds = false;
    if (!parseDateTime(text, target, withSeconds) || withSeconds)
      fail("NO not a date and time of 2000-2099: " + text + " (YYYY-MM-DD HH:MM)");
  } else if (!off) {
    // HH:MM: one or two digits, a colon, two digits.
    const std::size_t colon = args.empty() ? std::string::npos : args[0].find(':');
    const std::string hours = colon == std::string::npos ? "" : args[0].substr(0, colon);
    const std::string minutes = colon == std::string::npos ? "" : args[0].substr(colon + 1);
    const bool timed = oneOrTwoDigits(hours) && minutes.size() == 2 && oneOrTwoDigits(minutes);
    const bool shape = (args.size() == 1) || (timed && args.size() == 2 && !args[1].starts_with("-")) ||
                       (timed && args.size() == 3 && args[1] == "--weekday");
    if (!shape) fail("NO not an alarm: use MIN, HH:MM, HH:MM DAY, HH:MM --weekday N, YYYY-MM-DD HH:MM, --in MINUTES or --off "
           "(alarmset -h for help)");
    Alarm = {false, 0, -1, 0, false};
    if (!timed) {
      Alarm.min = number(args[0], "minute", 0, 59);
    } else {
      Alarm.hh = number(hours, "hour", 0, 23);
      Alarm.min = number(minutes, "minute", 0, 59);
      if (args.size() == 2) Alarm.dd = number(args[1], "day", 1, 31);
      if (args.size() == 3) {
        Alarm.dd = number(args[2], "week day", 1, 7);
        Alarm.wd = true;
      }
    }
  }

  openRTC();
  if (iddev < 0) fail(readFailure());
  if (in || dated) {
    if (const char* problem = readValidDate()) fail(problem);
    if (in) {
      target = Date;
      addMinutes(target, ahead);
    }
    setOnce(Date, target);
  }
  // The alarm's interrupt is off while its registers change, and on only once they all hold the
  // new alarm: a fault half-way never leaves an alarm that signals at a moment nobody set.
  bool written = setAlarmInterrupt(false);
  if (off) {
    written = written && setNoWakeUp();
  } else {
    // Its flag is cleared so that a new match shows.
    written = written && writeAlarm() && clearAlarmFlag() && setAlarmInterrupt(true);
  }
  if (!written) fail("NO RTC write failed!");
  confirmDone(off ? "the alarm is cleared" : "the alarm is set");
  if (!readAlarm()) fail(readFailure());
  if (!validAlarm()) fail(kTimeInvalid);
  std::puts(wakeUpLine().c_str());
  if (in || dated) std::puts(nextWakeUpLine(Date).c_str());
  return 0;
}
