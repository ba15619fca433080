// mcureset: resets the board's microcontroller with one pulse on its reset line.
#include <wiringPi.h>

#include <cstdio>

#include "stopsignals.h"
#include "wpisetup.h"

namespace {

constexpr int kResetPin = 23;

}  // namespace

int main() {
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
