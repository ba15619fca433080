// rtcpeek: show the RTC's I2C handle and its date, read without the RTC library.
#include <wiringPiI2C.h>

#include <cstdio>

#include "help.h"
#include "stdfds.h"
#include "wpisetup.h"

namespace {

struct DateRecord {
  int Sec;
  int Min;
  int Hour;
  int WeekDay;
  int Day;
  int Month;
  int Year;
};

int iddev = -1;
DateRecord Date{};

// Two digits: the units in the low nibble, the tens in the bits of `tens` above it.
int digits(unsigned char buff, int tens) {
  const int b0 = buff & 0x0F;
  const int b1 = (buff >> 4) & tens;
  return b1 * 10 + b0;
}

// Reads one register into `field` through `decode`; a failed read leaves the field.
template <typename Decode>
bool readField(int reg, int& field, Decode decode) {
  const int value = wiringPiI2CReadReg8(iddev, reg);
  if (value < 0) return false;
  field = decode(static_cast<unsigned char>(value & 0xFF));
  return true;
}

bool readSeven() {
  bool ok = readField(0, Date.Sec, [](unsigned char b) { return digits(b, 0x7); });
  ok &= readField(1, Date.Min, [](unsigned char b) { return digits(b, 0x7); });
  // Only bit 4 as the tens: a probe of the raw register, not of the library's 24-hour reading.
  ok &= readField(2, Date.Hour, [](unsigned char b) { return digits(b, 0x1); });
  ok &= readField(3, Date.WeekDay, [](unsigned char b) { return b & 0x07; });
  ok &= readField(4, Date.Day, [](unsigned char b) { return digits(b, 0x3); });
  ok &= readField(5, Date.Month, [](unsigned char b) { return digits(b, 0x1); });
  ok &= readField(6, Date.Year, [](unsigned char b) { return digits(b, 0xF) + 2000; });
  return ok;
}

bool readDate() {
  if (iddev < 0) return false;
  if (!readSeven()) return false;
  // The seconds went back: the minute rolled over while the registers were read one by one.
  int sec = 0;
  if (!readField(0, sec, [](unsigned char b) { return digits(b, 0x7); })) return false;
  return sec >= Date.Sec || readSeven();
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  failOnLostOutput();
  if (helpAsked(argc, argv)) {
    std::puts("Probe the RTC: its I2C handle and its date, read register by register");
    std::puts("format : rtcpeek [-h]");
    return 0;
  }
  std::puts("Hello world!");
  // So that a bus that cannot be opened gives -1, not the end of the process.
  (void)setupReturningCodes();
  iddev = wiringPiI2CSetup(104);
  std::printf("%d\n", iddev);
  // What the registers hold, decoded digit by digit, whether or not it is a date: the probe
  // shows what the clock tools refuse ("NO RTC time invalid!").
  const bool ok = readDate();
  std::printf("%2.2d/%2.2d/%4d %2.2d:%2.2d\n", Date.Day, Date.Month, Date.Year, Date.Hour, Date.Min);
  return ok ? 0 : -1;
}
