// alarmclear: clear the RTC's wake-up alarm, without the RTC library.
#include <wiringPiI2C.h>

#include <cstdio>

#include "help.h"
#include "stdfds.h"
#include "wpisetup.h"

int main(int argc, char* argv[]) {
  openStandardFds();
  if (helpAsked(argc, argv)) {
    std::puts("Clear the RTC wake-up alarm");
    std::puts("format : alarmclear [-h]");
    return 0;
  }
  // So that a bus that cannot be opened gives -1, not the end of the process.
  (void)setupReturningCodes();
  const int handle = wiringPiI2CSetup(104);
  bool ok = handle >= 0;
  if (ok) {
    // Register 14 first, then the no-wake-up mark: 0 in each alarm register.
    ok = wiringPiI2CWriteReg8(handle, 14, 0x18) >= 0;
    ok &= wiringPiI2CWriteReg8(handle, 11, 0x00) >= 0;
    ok &= wiringPiI2CWriteReg8(handle, 12, 0x00) >= 0;
    ok &= wiringPiI2CWriteReg8(handle, 13, 0x00) >= 0;
  }
  if (ok) confirmDone("the alarm is cleared");
  std::puts(ok ? "Alarm reset!" : "Error I2C; no alarm resetting!");
  return ok ? 0 : -1;
}
