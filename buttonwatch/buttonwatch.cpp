// buttonwatch: polls the board's push button for about 100 seconds and reports each
// poll that finds it pressed.
#include <unistd.h>
#include <wiringPi.h>

#include <cstdio>

#include "help.h"
#include "stdfds.h"
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

int main(int argc, char* argv[]) {
  openStandardFds();
  if (helpAsked(argc, argv)) {
    puts("Watch the Orvix push button (GPIO 24) for about 100 s");
    puts("format : buttonwatch [-h]");
    puts("        prints a line for each tenth of a second the button is found pressed");
    return 0;
  }
  setupGpioOrExit();
  pinMode(kButtonPin, INPUT);
  pullUpDnControl(kButtonPin, PUD_DOWN);
  ciclo();
  puts("Fine!");
  return 0;
}
