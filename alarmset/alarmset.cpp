// alarmset: set the board's wake-up alarm (the chip's alarm 2) and let it signal on the chip's
// interrupt output, or clear it.
#include <wiringPiI2C.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "rtclib.h"
#include "stdfds.h"
#include "wakeup.h"

namespace {

[[noreturn]] void help() {
  std::puts("Set the RTC wake-up alarm");
  std::puts("format : alarmset [-h] MIN | HH:MM [DAY | --weekday N] | --off");
  std::puts("        MIN                every hour at minute MIN (0-59)");
  std::puts("        HH:MM              every day at HH:MM");
  std::puts("        HH:MM DAY          on day DAY (1-31) of each month at HH:MM");
  std::puts("        HH:MM --weekday N  every week on day N (1 = Sunday ... 7 = Saturday) at HH:MM");
  std::puts("        --off              no wake-up");
  std::exit(0);
}

[[noreturn]] void fail(const std::string& line) {
  std::puts(line.c_str());
  std::exit(-1);
}

bool oneOrTwoDigits(const std::string& word) {
  return !word.empty() && word.size() <= 2 &&
         std::all_of(word.begin(), word.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// One or two decimal digits within [lo, hi]; the library would fold anything else silently.
int number(const std::string& word, const char* what, int lo, int hi) {
  if (!oneOrTwoDigits(word)) fail(std::string("NO not a ") + what + ": " + word);
  const int v = std::stoi(word);
  if (v < lo || v > hi)
    fail(std::string("NO ") + what + " " + word + " out of range (" + std::to_string(lo) + "-" + std::to_string(hi) + ")");
  return v;
}

// The chip's alarm 2 controls, kept but for `clear` and `set`; false when a transfer failed.
bool changeRegister(int reg, unsigned char clear, unsigned char set) {
  const int value = wiringPiI2CReadReg8(iddev, reg);
  if (value < 0) fail("NO RTC read failed!");
  return wiringPiI2CWriteReg8(iddev, reg, ((value & ~clear) | set) & 0xFF) >= 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const auto& a : args)
    if (a == "-h" || a == "--help") help();
  const bool off = args.size() == 1 && args[0] == "--off";
  if (!off) {
    // HH:MM: one or two digits, a colon, two digits.
    const std::size_t colon = args.empty() ? std::string::npos : args[0].find(':');
    const std::string hours = colon == std::string::npos ? "" : args[0].substr(0, colon);
    const std::string minutes = colon == std::string::npos ? "" : args[0].substr(colon + 1);
    const bool timed = oneOrTwoDigits(hours) && minutes.size() == 2 && oneOrTwoDigits(minutes);
    const bool shape = (args.size() == 1) || (timed && args.size() == 2 && !args[1].starts_with("-")) ||
                       (timed && args.size() == 3 && args[1] == "--weekday");
    if (!shape) fail("NO not an alarm: use MIN, HH:MM, HH:MM DAY, HH:MM --weekday N or --off (alarmset -h for help)");
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
  bool written;
  if (off) {
    written = setNoWakeUp() && changeRegister(kControlRegister, kAlarm2Enable, 0);
  } else {
    // The interrupt output signals alarm 2, and its flag is cleared so that a new match shows.
    written = writeAlarm() && changeRegister(kControlRegister, 0, kInterruptControl | kAlarm2Enable) &&
              changeRegister(kStatusRegister, kAlarm2Flag, 0);
  }
  if (!written) fail("NO RTC write failed!");
  if (!readAlarm()) fail(readFailure());
  if (!validAlarm()) fail(kTimeInvalid);
  std::puts(wakeUpLine().c_str());
  return 0;
}
