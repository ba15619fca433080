// wiringPi's calls on the virtual board found at simboard::kBoardPath. Without a
// board there they act like a Pi without the add-on: no RTC, inputs read 0.
#include <time.h>

#include <cerrno>
#include <optional>

#include "board.h"
#include "wiringPi.h"
#include "wiringPiI2C.h"

namespace {

std::optional<simboard::Board> board() { return simboard::Board::open(simboard::kBoardPath); }

}  // namespace

extern "C" {

int wiringPiI2CSetup(int devId) {
  auto b = board();
  return b ? b->i2cSetup(devId) : -1;
}

int wiringPiI2CReadReg8(int fd, int reg) {
  auto b = board();
  return b ? b->i2cRead(fd, reg) : -1;
}

int wiringPiI2CWriteReg8(int fd, int reg, int data) {
  auto b = board();
  return b ? b->i2cWrite(fd, reg, data) : -1;
}

int wiringPiSetupGpio(void) {
  auto b = board();
  return b ? b->gpioSetup() : 0;
}

void pinMode(int pin, int mode) {
  if (auto b = board()) b->gpioMode(pin, mode);
}

void digitalWrite(int pin, int value) {
  if (auto b = board()) b->gpioWrite(pin, value);
}

int digitalRead(int pin) {
  auto b = board();
  return b ? b->gpioRead(pin) : 0;
}

void pullUpDnControl(int pin, int pud) {
  if (auto b = board()) b->gpioPull(pin, pud);
}

void delay(unsigned int ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // extern "C"
