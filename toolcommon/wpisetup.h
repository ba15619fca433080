// wiringPi's setup with the library's return-code mode on, for the tools that report a bus or
// GPIO they cannot reach themselves. The library reads WIRINGPI_CODES only inside its setup;
// without that mode its first failure (the GPIO memory, /dev/i2c-1, the clock's address)
// prints its own message on standard error and ends the process with status 1.
//
//   setupReturningCodes()  wiringPiSetup() in that mode: 0, or -1 when the GPIO memory does
//                          not open; wiringPiI2CSetup then returns -1 instead of exiting
//   setupGpioOrExit()      the GPIO in Broadcom numbering, or "NO GPIO access ..." and status 255
#pragma once

#include <wiringPi.h>

#include <cstdio>
#include <cstdlib>

inline int setupReturningCodes() {
  // Set for the setup alone, so that the programs a tool starts do not inherit it.
  const bool set = std::getenv("WIRINGPI_CODES") == nullptr;
  if (set) setenv("WIRINGPI_CODES", "1", 1);
  const int result = wiringPiSetup();
  if (set) unsetenv("WIRINGPI_CODES");
  return result;
}

// Before any pin is driven: the library's pin calls would write through an unmapped pointer.
inline void setupGpioOrExit() {
  if (setupReturningCodes() < 0) {
    std::puts("NO GPIO access (add the user to group gpio, or run as root)");
    std::exit(-1);
  }
  wiringPiSetupGpio();
}
