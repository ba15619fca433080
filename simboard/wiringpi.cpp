// wiringPi's calls on the virtual board found at simboard::kBoardPath, behaving as wiringPi 3.14
// does on a Pi 4: the GPIO setup is done once, whatever its result, and reads WIRINGPI_CODES
// then and only then; a failure prints the library's own text on standard error and exits
// with 1, unless that return-code mode is on, when it returns -1 quietly. Pin calls after a
// setup that could not open the GPIO memory fault as the library's writes through its unmapped
// pointer do. Without a board there, the calls act like a Pi without the add-on: I2C not
// enabled, the GPIO free to use, inputs read 0.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "board.h"
#include "wiringPi.h"
#include "wiringPiI2C.h"

namespace {

std::optional<simboard::Board> board() { return simboard::Board::open(simboard::kBoardPath); }

// The library's own state, for the life of the process.
bool setupCalled = false;
bool returnCodes = false;
bool gpioMapped = false;
enum class Numbering { kUnset, kWiringPi, kBroadcom } numbering = Numbering::kUnset;

// wiringPi's pin numbers as Broadcom numbers, on every Pi since the first one's second revision.
constexpr int kWiringPiToGpio[32] = {17, 18, 27, 22, 23, 24, 25, 4,  2,  3,  8,  7,  10, 9,  11, 14,
                                     15, 28, 29, 30, 31, 5,  6,  13, 19, 26, 12, 16, 20, 21, 0,  1};

[[gnu::format(printf, 1, 2)]] int failure(const char* message, ...) {
  if (returnCodes) return -1;
  va_list args;
  va_start(args, message);
  std::vfprintf(stderr, message, args);
  va_end(args);
  std::exit(EXIT_FAILURE);
}

// pinMode and pullUpDnControl refuse to run before any setup.
void setupCheck(const char* function) {
  if (setupCalled) return;
  std::fprintf(stderr,
               "%s: You have not called one of the wiringPiSetup\n"
               "  functions, so I'm aborting your program before it crashes anyway.\n",
               function);
  std::exit(EXIT_FAILURE);
}

// The Broadcom number of an on-board pin, or -1 when the call does nothing to the board. After a
// failed setup the library writes through a null pointer: the process dies of SIGSEGV.
int gpioPin(const char* function, int pin) {
  if (numbering == Numbering::kUnset) {
    std::fprintf(stderr, "%s: invalid mode\n", function);
    return -1;
  }
  if (pin < 0 || pin >= simboard::kPins) return -1;  // pins of extensions, of which there are none
  if (!gpioMapped) {
    signal(SIGSEGV, SIG_DFL);
    sigset_t segv;
    sigemptyset(&segv);
    sigaddset(&segv, SIGSEGV);
    sigprocmask(SIG_UNBLOCK, &segv, nullptr);
    raise(SIGSEGV);
  }
  if (numbering == Numbering::kBroadcom) return pin;
  return pin < 32 ? kWiringPiToGpio[pin] : -1;
}

}  // namespace

extern "C" {

int wiringPiI2CSetup(int devId) {
  auto b = board();
  const int fd = b ? b->i2cSetup(devId) : (errno = ENOENT, -1);
  if (fd >= 0) return fd;
  // Only selecting the address finds it held; every other failure is the open's.
  const char* step = errno == EBUSY ? "select" : "open";
  return failure("Unable to %s I2C device: %s\n", step, std::strerror(errno));
}

int wiringPiI2CReadReg8(int fd, int reg) {
  auto b = board();
  return b ? b->i2cRead(fd, reg) : -1;
}

int wiringPiI2CWriteReg8(int fd, int reg, int data) {
  auto b = board();
  return b ? b->i2cWrite(fd, reg, data) : -1;
}

int wiringPiSetup(void) {
  if (setupCalled) return 0;
  setupCalled = true;
  if (std::getenv("WIRINGPI_CODES")) returnCodes = true;
  numbering = Numbering::kWiringPi;
  auto b = board();
  if (b && b->gpioSetup() != 0)
    return failure(
        "wiringPiSetup: Unable to open %s or %s: %s.\n"
        "  Aborting your program because if it can not access the GPIO\n"
        "  hardware then it most certianly won't work\n"
        "  Try running with sudo?\n",
        "/dev/mem", "/dev/gpiomem", std::strerror(errno));
  gpioMapped = true;
  return 0;
}

int wiringPiSetupGpio(void) {
  (void)wiringPiSetup();
  numbering = Numbering::kBroadcom;
  return 0;
}

void pinMode(int pin, int mode) {
  setupCheck("pinMode");
  auto b = board();
  if (const int gpio = gpioPin("pinMode", pin); b && gpio >= 0) b->gpioMode(gpio, mode);
}

void digitalWrite(int pin, int value) {
  auto b = board();
  if (const int gpio = gpioPin("digitalWrite", pin); b && gpio >= 0) b->gpioWrite(gpio, value);
}

int digitalRead(int pin) {
  auto b = board();
  const int gpio = gpioPin("digitalRead", pin);
  return b && gpio >= 0 ? b->gpioRead(gpio) : LOW;
}

void pullUpDnControl(int pin, int pud) {
  setupCheck("pullUpDnControl");
  auto b = board();
  if (const int gpio = gpioPin("pullUpDnControl", pin); b && gpio >= 0) b->gpioPull(gpio, pud);
}

// One sleep, as the library's: a signal that is caught ends it early.
void delay(unsigned int ms) {
  timespec sleeper{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  timespec left{};
  nanosleep(&sleeper, &left);
}

}  // extern "C"
