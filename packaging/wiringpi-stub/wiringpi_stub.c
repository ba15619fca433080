/* wiringPi's calls as the suite declares them, with the behaviour of a Pi that has no
 * add-on board: the I2C device does not open, transfers fail, inputs read 0. */
#include <time.h>

#include "wiringPi.h"
#include "wiringPiI2C.h"

int wiringPiI2CSetup(int devId) {
  (void)devId;
  return -1;
}

int wiringPiI2CReadReg8(int fd, int reg) {
  (void)fd;
  (void)reg;
  return -1;
}

int wiringPiI2CWriteReg8(int fd, int reg, int data) {
  (void)fd;
  (void)reg;
  (void)data;
  return -1;
}

int wiringPiSetup(void) { return 0; }

int wiringPiSetupGpio(void) { return 0; }

void pinMode(int pin, int mode) {
  (void)pin;
  (void)mode;
}

void digitalWrite(int pin, int value) {
  (void)pin;
  (void)value;
}

int digitalRead(int pin) {
  (void)pin;
  return LOW;
}

void pullUpDnControl(int pin, int pud) {
  (void)pin;
  (void)pud;
}

void delay(unsigned int ms) {
  struct timespec t = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
}
