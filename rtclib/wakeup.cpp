#include "wakeup.h"

#include <cstdio>

#include "rtclib.h"

namespace {

const char* const kWeekDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

std::string twoDigits(int v) {
  char text[12];
  std::snprintf(text, sizeof text, "%02d", v);
  return text;
}

}  // namespace

std::string wakeUpLine() {
  if (Alarm.nowakeup) return "OK no wake-up set";
  std::string day;
  if (Alarm.dd >= 1 && Alarm.wd && Alarm.dd <= 7)
    day = std::string("every ") + kWeekDays[Alarm.dd - 1];
  else if (Alarm.dd >= 1)
    day = "on day " + std::to_string(Alarm.dd) + " of each month";
  if (Alarm.hh >= 0 && Alarm.min >= 0)
    return "OK wake-up " + (day.empty() ? "every day" : day) + " at " + twoDigits(Alarm.hh) + ":" + twoDigits(Alarm.min);
  std::string time;
  if (Alarm.min >= 0)
    time = "every hour at minute " + std::to_string(Alarm.min);
  else if (Alarm.hh >= 0)
    time = "every minute from " + twoDigits(Alarm.hh) + ":00 to " + twoDigits(Alarm.hh) + ":59";
  else
    time = "every minute";
  return "OK wake-up " + (day.empty() ? time : day + ", " + time);
}

std::string nextWakeUpLine(const DateRecord& now) {
  DateRecord next{};
  if (!nextWakeUp(now, Alarm, next)) return "OK no next wake-up";
  char line[64];
  std::snprintf(line, sizeof line, "OK next wake-up %2.2d/%2.2d/%4d %2.2d:%2.2d", next.Day, next.Month, next.Year,
                next.Hour, next.Min);
  return line;
}
