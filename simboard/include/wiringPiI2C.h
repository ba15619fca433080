// Simulated wiringPi I2C: single-register transfers with the virtual board's chips.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

int wiringPiI2CSetup(int devId);
int wiringPiI2CReadReg8(int fd, int reg);
int wiringPiI2CWriteReg8(int fd, int reg, int data);

#ifdef __cplusplus
}
#endif
