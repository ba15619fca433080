// mcureset: resets the board's microcontroller with one pulse on its reset line.
#include <wiringPi.h>

#include <cstdio>

namespace {

constexpr int kResetPin = 23;

}  // namespace

int main() {
  wiringPiSetupGpio();
  pinMode(kResetPin, OUTPUT);
  digitalWrite(kResetPin, LOW);
  delay(500);
  digitalWrite(kResetPin, HIGH);
  delay(500);
  digitalWrite(kResetPin, LOW);
  puts("Orvix reset!");
  return 0;
}
