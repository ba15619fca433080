// alarmshow: print the board's wake-up alarm, whether it may signal and whether it has fired.
#include <wiringPiI2C.h>

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
    std::puts("Show the RTC wake-up alarm, whether its interrupt is enabled and whether it has fired");
    std::puts("format : alarmshow [-h]");
    return 0;
  }
  openRTC();
  if (iddev < 0) fail(readFailure());
  if (!readAlarm()) fail(readFailure());
  if (!validAlarm()) fail(kTimeInvalid);
  const int control = wiringPiI2CReadReg8(iddev, kControlRegister);
  const int status = control < 0 ? -1 : wiringPiI2CReadReg8(iddev, kStatusRegister);
  if (status < 0) fail(readFailure());
  const bool enabled = (control & (kInterruptControl | kAlarm2Enable)) == (kInterruptControl | kAlarm2Enable);
  std::puts(wakeUpLine().c_str());
  std::printf("Interrupt %s; the alarm has %s since it was set\n", enabled ? "enabled" : "disabled",
              (status & kAlarm2Flag) ? "fired" : "not fired");
  return 0;
}
