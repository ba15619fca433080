// boardflash: writes a compiled sketch into the board's microcontroller with one shell
// command line (avrdude through sudo), holding the reset line high while it runs.
#include <strings.h>
#include <wiringPi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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

[[noreturn]] void upload(const std::string& path) {
  wiringPiSetupGpio();
  pinMode(kResetPin, OUTPUT);
  std::string command = kCommand;
  command.replace(command.find("%s"), 2, shellWord(path));

  digitalWrite(kResetPin, LOW);
  delay(500);
  digitalWrite(kResetPin, HIGH);
  const int ret = system(command.c_str());
  digitalWrite(kResetPin, LOW);
  if (ret != 0) {
    printf("Error: %d\n", ret);
    exit(-1);
  }
  puts("Uploaded!");
  exit(0);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2 || strcasecmp(argv[1], "-h") == 0) help();
  FILE* sketch = fopen(argv[1], "r");
  if (!sketch) {
    printf("No file found: %s\n", argv[1]);
    exit(1);
  }
  fclose(sketch);
  upload(argv[1]);
}
