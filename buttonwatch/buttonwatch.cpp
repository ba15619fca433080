// buttonwatch: polls the board's push button for about 100 seconds and reports each
// poll that finds it pressed.
#include <unistd.h>
#include <wiringPi.h>

#include <cstdio>

#include "wpisetup.h"

namespace {

constexpr int kButtonPin = 24;

void ciclo() {
  for (int i = 0; i <= 999; ++i) {
    if (digitalRead(kButtonPin) == 1) {
      puts("Tasto premuto");
      // A script reading through a pipe sees each press when it happens.
      fflush(stdout);
    }
    usleep(100000);
  }
}

}  // namespace

int main() {
  setupGpioOrExit();
  pinMode(kButtonPin, INPUT);
  pullUpDnControl(kButtonPin, PUD_DOWN);
  ciclo();
  puts("Fine!");
  return 0;
}
