// mcuflash: writes a compiled sketch into the board's microcontroller with avrdude,
// holding the reset line high for avrdude's whole run.
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wiringPi.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "stdfds.h"
#include "stopsignals.h"
#include "wpisetup.h"

namespace {

constexpr int kResetPin = 23;
const char* const kAvrdude = "/home/velmont/avrdude";

std::string filename;
const std::string frmtpar = "-Uflash:w:%s:i";
std::string lastpar;
int sinc = 2;
const char* avrArg[] = {kAvrdude,
                        "-C",
                        "/home/velmont/avrdude.conf",
                        "-q",
                        "-q",
                        "-p",
                        "atmega328p",
                        "-c",
                        "arduino",
                        "-P",
                        "/dev/ttyAMA0",
                        "-b",
                        "115200",
                        "-D",
                        "-V",
                        nullptr /* lastpar */,
                        nullptr};

// A wait in ms read as atoi reads it, held between 0 and the longest an int holds: delay()
// takes a negative wait as days, and a number past the int range must saturate rather than
// wrap (with a 64-bit long, -2147483649 would wrap to 24 days and 4294967298 to 2 ms).
int waitMs(const char* word) { return static_cast<int>(std::clamp<long>(std::strtol(word, nullptr, 10), 0, INT_MAX)); }

[[noreturn]] void help() {
  puts("Arduino Uploading compiled sketch (.hex)");
  puts("format : sudo mcuflash [-h| pathsketch");
  puts("Ex.: sudo mcuflash /home/pi/bin/mcusketches/EchoSketch.hex");
  exit(0);
}

// avrdude reads "-" as standard input: a sketch path beginning so is given as "./-...".
std::string asPath(const std::string& name) { return name.starts_with("-") ? "./" + name : name; }

void lowerResetLine() { digitalWrite(kResetPin, LOW); }

void verbose() {
  avrArg[3] = "-v";
  avrArg[4] = "-v";
}

int upload() {
  lastpar = frmtpar;
  lastpar.replace(lastpar.find("%s"), 2, asPath(filename));
  avrArg[15] = lastpar.c_str();

  setupGpioOrExit();
  pinMode(kResetPin, OUTPUT);
  digitalWrite(kResetPin, LOW);
  delay(100);
  if (stopSignal) exitStopped();
  const pid_t child = forkProgrammer();
  if (child == 0) {
    digitalWrite(kResetPin, HIGH);
    delay(static_cast<unsigned>(sinc));
    execv(kAvrdude, const_cast<char* const*>(avrArg));
    puts("Error on AVR");
    exit(-1);
  }
  // Its own programmer only: a child the caller left to this process must not end the pulse.
  int status = 0;
  const bool waited = child > 0 && waitProgrammer(child, status, lowerResetLine) == child;
  lowerResetLine();
  if (stopSignal) exitStopped();
  // Only a programmer that ran and succeeded has uploaded the sketch.
  return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  // Started with SIGCHLD ignored, the programmer would be reaped unseen and the wait would fail.
  std::signal(SIGCHLD, SIG_DFL);
  catchStopSignals();
  if (argc < 2 || strcasecmp(argv[1], "-h") == 0 || strcasecmp(argv[1], "--help") == 0) help();
  filename = argv[1];
  if (access(filename.c_str(), F_OK) != 0) {
    printf("NOK File not found: %s\n", filename.c_str());
    return -1;
  }
  if (argc >= 3) sinc = waitMs(argv[2]);
  if (argc >= 4 && argv[3][0] == 'v') verbose();
  return upload();
}
