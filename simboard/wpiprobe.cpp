// wpiprobe: makes the wiringPi calls its arguments name, in order, and prints what each one
// returned, unbuffered, so that a test sees how far it got and how the process ended. It is
// built against the simulated library and, where the real wiringPi is built for the tests,
// against that one too: the same steps must give the same bytes and the same end.
//
//   setup          wiringPiSetup()                  gpio           wiringPiSetupGpio()
//   codes          put WIRINGPI_CODES in the environment
//   i2c            wiringPiI2CSetup(104): "open" for any descriptor, else what it returned
//   read REG       wiringPiI2CReadReg8              write REG VAL  wiringPiI2CWriteReg8
//   pin PIN        pinMode(PIN, OUTPUT), then digitalWrite(PIN, HIGH)
//   delay MS       "delay MS", delay(MS), then "took" and the milliseconds it took (SIGUSR1 is
//                  caught, so that a test can end it early)
#include <signal.h>
#include <wiringPi.h>
#include <wiringPiI2C.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void caught(int) {}

}  // namespace

int main(int argc, char* argv[]) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  signal(SIGUSR1, caught);
  int fd = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string step = argv[i];
    auto number = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
    if (step == "setup") {
      std::printf("setup %d\n", wiringPiSetup());
    } else if (step == "gpio") {
      std::printf("gpio %d\n", wiringPiSetupGpio());
    } else if (step == "codes") {
      setenv("WIRINGPI_CODES", "1", 1);
    } else if (step == "i2c") {
      fd = wiringPiI2CSetup(104);
      if (fd >= 0)
        std::puts("i2c open");
      else
        std::printf("i2c %d\n", fd);
    } else if (step == "read") {
      const int reg = number();
      std::printf("read %d %d\n", reg, wiringPiI2CReadReg8(fd, reg));
    } else if (step == "write") {
      const int reg = number(), value = number();
      std::printf("write %d %d\n", reg, wiringPiI2CWriteReg8(fd, reg, value));
    } else if (step == "pin") {
      const int pin = number();
      pinMode(pin, OUTPUT);
      digitalWrite(pin, HIGH);
      std::printf("pin %d\n", pin);
    } else if (step == "delay") {
      const int ms = number();
      // Timed from before the announcement, which a test waits for before it signals.
      const auto start = std::chrono::steady_clock::now();
      std::printf("delay %d\n", ms);
      delay(static_cast<unsigned>(ms));
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
      std::printf("took %lld\n", static_cast<long long>(took.count()));
    } else {
      std::fprintf(stderr, "wpiprobe: unknown step %s\n", step.c_str());
      return 2;
    }
  }
  return 0;
}
