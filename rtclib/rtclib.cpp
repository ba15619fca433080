#include "rtclib.h"

#include <wiringPiI2C.h>

#include <cstdlib>

#include "wpisetup.h"

int iddev = -1;
DateRecord Date{};
AlarmRecord Alarm{};

namespace {

constexpr int kRtcAddress = 104;

bool readRegister(int reg, unsigned char& byte) {
  const int value = wiringPiI2CReadReg8(iddev, reg);
  if (value < 0) return false;
  byte = static_cast<unsigned char>(value & 0xFF);
  return true;
}

// Reads one register into `field` through `decode`; a failed read leaves the field.
template <typename Decode>
bool readField(int reg, int& field, Decode decode) {
  unsigned char byte = 0;
  if (!readRegister(reg, byte)) return false;
  field = decode(byte);
  return true;
}

bool writeRegister(int reg, unsigned char value) { return wiringPiI2CWriteReg8(iddev, reg, value) >= 0; }

constexpr int kAlarmMinute = 11;
constexpr int kAlarmHour = 12;
constexpr int kAlarmDay = 13;
constexpr unsigned char kAny = 0x80;      // bit 7 of an alarm register: any value matches
constexpr unsigned char kWeekDay = 0x40;  // bit 6 of the day register: a day of the week

// Whether the last readDate and readAlarm found two decimal digits in each BCD field: a nibble
// above 9 decodes to a number that looks right but is not what the chip holds.
bool dateDigits = true;
unsigned char alarmBytes[3] = {0, 0, 0};

bool bcdDigits(unsigned char byte, int n) {
  const int v = byte & (0xFF >> (8 - n));
  return (v & 0x0F) <= 9 && (v >> 4) <= 9;
}

// A BCD field of `n` bits, its digits checked on the way.
auto bcdField(int n) {
  return [n](unsigned char b) {
    dateDigits = dateDigits && bcdDigits(b, n);
    return getBCDtoInt(b, n);
  };
}

bool readSeven() {
  bool ok = readTime();
  ok &= readField(3, Date.WeekDay, [](unsigned char b) { return getBCDtoInt(b, 3); });
  ok &= readField(4, Date.Day, bcdField(6));
  ok &= readField(5, Date.Month, bcdField(5));
  ok &= readField(6, Date.Year, [](unsigned char b) { return bcdField(8)(b) + 2000; });
  return ok;
}

// A day folded into 1..days-1; 0 would never match, so it becomes 1.
int foldDay(int dd, int days) {
  const int d = dd % days;
  return d == 0 ? 1 : d;
}

}  // namespace

void openRTC() {
  // So that a bus that cannot be opened gives -1 here, not the end of the process. The clock
  // needs no GPIO: a user outside group gpio only makes this setup's result -1.
  (void)setupReturningCodes();
  iddev = wiringPiI2CSetup(kRtcAddress);
}

bool readTime() {
  if (iddev < 0) return false;
  dateDigits = true;
  bool ok = readField(0, Date.Sec, bcdField(7));
  ok &= readField(1, Date.Min, bcdField(7));
  ok &= readField(2, Date.Hour, bcdField(6));
  return ok;
}

bool readDate() {
  if (iddev < 0) return false;
  if (!readSeven()) return false;
  // One register at a time: when the seconds went back by the end, the minute rolled over
  // during the read, and the registers may pair a new year with an old day. Read once more.
  int sec = 0;
  if (!readField(0, sec, [](unsigned char b) { return getBCDtoInt(b, 7); })) return false;
  return sec >= Date.Sec || readSeven();
}

bool validDate() {
  return dateDigits && Date.Sec <= 59 && Date.Min <= 59 && Date.Hour <= 23 && Date.Month >= 1 && Date.Month <= 12 &&
         Date.Day >= 1 && Date.Day <= daysInMonth(Date.Year, Date.Month);
}

int daysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return month == 2 && leap ? 29 : days[month - 1];
}

const char* readFailure() { return iddev < 0 ? "NO RTC found!" : "NO RTC read failed!"; }

const char* readValidDate() {
  if (!readDate()) return readFailure();
  return validDate() ? nullptr : kTimeInvalid;
}

bool writeTime() {
  if (iddev < 0) return false;
  bool ok = writeRegister(0, 0);
  ok &= writeRegister(1, getInttoBCD(Date.Min));
  ok &= writeRegister(2, getInttoBCD(Date.Hour));
  return ok;
}

bool writeDate() {
  if (iddev < 0) return false;
  bool ok = writeTime();
  ok &= writeRegister(3, getInttoBCD(Date.WeekDay));
  ok &= writeRegister(4, getInttoBCD(Date.Day));
  ok &= writeRegister(5, getInttoBCD(Date.Month));
  ok &= writeRegister(6, getInttoBCD(Date.Year % 100));
  return ok;
}

bool writeAlarm() {
  if (iddev < 0) return false;
  unsigned char day = kAny;
  unsigned char hour = kAny;
  Alarm.nowakeup = false;
  if (Alarm.dd > 0) {
    if (Alarm.wd) {
      Alarm.dd = foldDay(Alarm.dd, 8);
      day = static_cast<unsigned char>(kWeekDay + Alarm.dd);
    } else {
      Alarm.dd = foldDay(Alarm.dd, 32);
      day = getInttoBCD(Alarm.dd);
    }
  }
  if (Alarm.hh >= 0) {
    Alarm.hh %= 24;
    hour = getInttoBCD(Alarm.hh);
  }
  Alarm.min = std::abs(Alarm.min % 60);
  bool ok = writeRegister(kAlarmMinute, getInttoBCD(Alarm.min));
  ok &= writeRegister(kAlarmHour, hour);
  ok &= writeRegister(kAlarmDay, day);
  return ok;
}

bool setNoWakeUp() {
  if (iddev < 0) return false;
  Alarm.nowakeup = true;
  bool ok = writeRegister(kAlarmMinute, 0);
  ok &= writeRegister(kAlarmHour, 0);
  ok &= writeRegister(kAlarmDay, 0);
  return ok;
}

bool readAlarm() {
  if (iddev < 0) return false;
  unsigned char minute = 0;
  unsigned char hour = 0;
  unsigned char day = 0;
  bool ok = readRegister(kAlarmMinute, minute);
  ok &= readRegister(kAlarmHour, hour);
  ok &= readRegister(kAlarmDay, day);
  // A missing register could hide the no-wake-up mark, so nothing is decoded.
  if (!ok) return false;
  alarmBytes[0] = minute;
  alarmBytes[1] = hour;
  alarmBytes[2] = day;
  if (minute == 0 && hour == 0 && day == 0) {
    Alarm.nowakeup = true;
    return true;
  }
  Alarm.min = getBit(minute, 7) ? -1 : getBCDtoInt(minute, 7);
  Alarm.hh = getBit(hour, 7) ? -1 : getBCDtoInt(hour, 6);
  Alarm.dd = getBit(day, 7) ? -1 : getBCDtoInt(day, 6);
  Alarm.wd = getBit(day, 6) != 0;
  return true;
}

bool validAlarm() {
  const unsigned char minute = alarmBytes[0], hour = alarmBytes[1], day = alarmBytes[2];
  if (minute == 0 && hour == 0 && day == 0) return true;
  const bool anyMinute = getBit(minute, 7), anyHour = getBit(hour, 7), anyDay = getBit(day, 7);
  if (!anyMinute && (!bcdDigits(minute, 7) || getBCDtoInt(minute, 7) > 59)) return false;
  // Bit 6 of the hour would be the chip's 12-hour form, which readAlarm does not read.
  if (!anyHour && (getBit(hour, 6) || !bcdDigits(hour, 6) || getBCDtoInt(hour, 6) > 23)) return false;
  if (anyDay) return true;
  const int dd = getBCDtoInt(day, 6);
  if (getBit(day, 6)) return dd >= 1 && dd <= 7;
  return bcdDigits(day, 6) && dd >= 1 && dd <= 31;
}

int getBCDtoInt(unsigned char buff, int n) {
  const int mask = n > 0 && n <= 8 ? 0xFF >> (8 - n) : 0;
  const int v = buff & mask;
  if (n > 4) return (v >> 4) * 10 + (v & 0x0F);
  return v;
}

unsigned char getInttoBCD(int buff) { return static_cast<unsigned char>((buff / 10) * 16 + buff % 10); }

int getBit(unsigned char b, int n) { return n >= 0 && n <= 7 ? (b >> n) & 1 : 0; }

unsigned char setBit(unsigned char b, int n) {
  return n >= 0 && n <= 7 ? static_cast<unsigned char>(b | (1 << n)) : b;
}

unsigned char resetBit(unsigned char b, int n) {
  return n >= 0 && n <= 7 ? static_cast<unsigned char>(b & ~(1 << n)) : b;
}
