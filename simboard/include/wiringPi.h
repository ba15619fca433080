// Simulated wiringPi: the GPIO calls the suite uses, acting on the virtual board, with the
// real library's declarations.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define INPUT 0
#define OUTPUT 1
#define LOW 0
#define HIGH 1
#define PUD_OFF 0
#define PUD_DOWN 1
#define PUD_UP 2

int wiringPiSetup(void);
int wiringPiSetupGpio(void);
void pinMode(int pin, int mode);
void digitalWrite(int pin, int value);
int digitalRead(int pin);
void pullUpDnControl(int pin, int pud);
void delay(unsigned int ms);

#ifdef __cplusplus
}
#endif
