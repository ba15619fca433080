// mcureset: resets the board's microcontroller with one pulse on its reset line.
#include <wiringPi.h>

#include <cstdio>

#include "help.h"
#include "stdfds.h"
#include "stopsignals.h"
#include "wpisetup.h"

namespace {

constexpr int kResetPin = 23;

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  if (helpAsked(argc, argv)) {
    puts("Reset the Orvix microcontroller: one pulse on its reset line (GPIO 23)");
    puts("format : mcureset [-h]");
    return 0;
  }
  catchStopSignals();
  setupGpioOrExit();
  pinMode(kResetPin, OUTPUT);
  digitalWrite(kResetPin, LOW);
  delay(500);
  // Interrupted, the pulse ends where the line rests: low.
  if (!stopSignal) {
    digitalWrite(kResetPin, HIGH);
    delay(500);
  }
  digitalWrite(kResetPin, LOW);
  if (stopSignal) exitStopped();
  puts("Orvix reset!");
  return 0;
}
