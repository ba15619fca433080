// alarmshow: print the board's wake-up alarm, when it next fires, whether it may signal and
// whether it has fired.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "rtclib.h"
#include "stdfds.h"
#include "wakeup.h"

namespace {

[[noreturn]] void fail(const char* message) {
  std::puts(message);
  std::exit(-1);
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  failOnLostOutput();
  if (argc > 1) {
    const std::string word = argv[1];
    if (word != "-h" && word != "--help") {
      std::printf("NO unknown argument %s (alarmshow -h for help)\n", argv[1]);
      return -1;
    }
    std::puts("Show the RTC wake-up alarm, when it next fires, and whether it may signal and has fired");
    std::puts("format : alarmshow [-h]");
    return 0;
  }
  openRTC();
  if (iddev < 0) fail(readFailure());
  if (!readAlarm()) fail(readFailure());
  if (!validAlarm()) fail(kTimeInvalid);
  bool enabled = false, fired = false;
  if (!readAlarmState(enabled, fired)) fail(readFailure());
  // When it next fires depends on the board's own clock, not the system's.
  if (!Alarm.nowakeup)
    if (const char* problem = readValidDate()) fail(problem);
  std::puts(wakeUpLine().c_str());
  std::puts(nextWakeUpLine(Date).c_str());
  std::printf("Interrupt %s; the alarm has %s since it was set\n", enabled ? "enabled" : "disabled",
              fired ? "fired" : "not fired");
  return 0;
}
