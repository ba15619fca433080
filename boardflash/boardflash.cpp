// boardflash: writes a compiled sketch into the board's microcontroller with one shell
// command line (avrdude through sudo), holding the reset line high while it runs.
#include <strings.h>
#include <unistd.h>
#include <wiringPi.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "stdfds.h"
#include "stopsignals.h"
#include "wpisetup.h"

namespace {

constexpr int kResetPin = 23;
const std::string kCommand =
    "sudo /home/velmont/avrdude -C /home/velmont/avrdude.conf -q -q -p atmega328p -c arduino -P /dev/Arduino "
    "-b 115200 -D -V -Uflash:w:%s:i";

[[noreturn]] void help() {
  puts("Sketch Upload to Orvix");
  puts("Use: sudo boardflash filename");
  puts("     (where filename : file with .hex extension)");
  exit(0);
}

// One shell word whatever the path holds: inside single quotes only the quote itself
// needs care, so blanks, ";" or "$(...)" in a file name are never run.
std::string shellWord(const std::string& text) {
  std::string word = "'";
  for (char c : text) {
    if (c == '\'')
      word += "'\\''";
    else
      word += c;
  }
  return word + "'";
}

// avrdude reads "-" as standard input: a sketch path beginning so is given as "./-...".
std::string asPath(const std::string& name) { return name.starts_with("-") ? "./" + name : name; }

void lowerResetLine() { digitalWrite(kResetPin, LOW); }

// The command through the shell as system() runs it, with the wait done here, so that a stop
// signal reaches the programmer: the raw wait status, or -1 when no process could be made. With
// "exec" the shell becomes sudo, which passes a signal on to avrdude.
int runShell(const std::string& command) {
  const pid_t child = forkProgrammer();
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  return child > 0 && waitProgrammer(child, status, lowerResetLine) == child ? status : -1;
}

[[noreturn]] void upload(const std::string& path) {
  setupGpioOrExit();
  pinMode(kResetPin, OUTPUT);
  std::string command = kCommand;
  command.replace(command.find("%s"), 2, shellWord(asPath(path)));

  digitalWrite(kResetPin, LOW);
  delay(500);
  if (stopSignal) exitStopped();
  digitalWrite(kResetPin, HIGH);
  const int ret = runShell(command);
  lowerResetLine();
  if (stopSignal) exitStopped();
  if (ret != 0) {
    printf("Error: %d\n", ret);
    exit(-1);
  }
  puts("Uploaded!");
  exit(0);
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  // Started with SIGCHLD ignored, the shell would be reaped unseen and the wait would fail.
  std::signal(SIGCHLD, SIG_DFL);
  catchStopSignals();
  if (argc < 2 || strcasecmp(argv[1], "-h") == 0 || strcasecmp(argv[1], "--help") == 0) help();
  FILE* sketch = fopen(argv[1], "r");
  if (!sketch) {
    printf("No file found: %s\n", argv[1]);
    exit(1);
  }
  fclose(sketch);
  upload(argv[1]);
}
