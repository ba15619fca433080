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
constexpr int kControlRegister = 14;
constexpr int kStatusRegister = 15;
constexpr unsigned char kInterruptControl = 0x04;  // INTCN: the interrupt output signals alarms
constexpr unsigned char kAlarm2Enable = 0x02;      // A2IE: alarm 2 signals there
constexpr unsigned char kAlarm2Flag = 0x02;        // A2F: set when alarm 2 matches, until written 0
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

// A register with the bits `clear` cleared and `set` set, the others as the chip holds them.
bool changeRegister(int reg, unsigned char clear, unsigned char set) {
  unsigned char byte = 0;
  return readRegister(reg, byte) && writeRegister(reg, static_cast<unsigned char>((byte & ~clear) | set));
}

// Days since 1 January 1970 of a civil date, and back, for any year the chip holds.
long long daysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097LL + doe - 719468;
}

void civilFromDays(long long z, int& y, int& m, int& d) {
  z += 719468;
  const long long era = z / 146097;
  const int doe = static_cast<int>(z - era * 146097);
  const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yoe + era * 400) + (m <= 2);
}

bool alarmMatches(const AlarmRecord& a, const DateRecord& t) {
  return (a.min < 0 || a.min == t.Min) && (a.hh < 0 || a.hh == t.Hour) &&
         (a.dd < 0 || a.dd == (a.wd ? t.WeekDay : t.Day));
}

// The number in `least` to `most` decimal digits at `at`, which moves past them; -1 without.
int digits(const std::string& text, std::size_t& at, std::size_t least, std::size_t most) {
  int v = 0;
  std::size_t n = 0;
  for (; at < text.size() && n < most && text[at] >= '0' && text[at] <= '9'; ++at, ++n) v = v * 10 + (text[at] - '0');
  return n >= least ? v : -1;
}

bool skip(const std::string& text, std::size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
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

int weekDay(int year, int month, int day) {
  const long long days = daysFromCivil(year, month, day);
  return static_cast<int>(((days % 7 + 7) % 7 + 4) % 7) + 1;  // 1970-01-01 was a Thursday
}

void addMinutes(DateRecord& date, long long minutes) {
  const long long day = daysFromCivil(date.Year, date.Month, date.Day);
  const long long total = day * 1440 + date.Hour * 60 + date.Min + minutes;
  const long long newDay = total >= 0 ? total / 1440 : (total - 1439) / 1440;
  civilFromDays(newDay, date.Year, date.Month, date.Day);
  date.Hour = static_cast<int>(total - newDay * 1440) / 60;
  date.Min = static_cast<int>(total - newDay * 1440) % 60;
  date.WeekDay = static_cast<int>(((date.WeekDay - 1 + (newDay - day) % 7) % 7 + 7) % 7) + 1;
}

bool nextWakeUp(const DateRecord& now, const AlarmRecord& alarm, DateRecord& next) {
  if (alarm.nowakeup) return false;
  // Every pattern the registers hold comes again within 62 days (a day 31 after 31 January).
  DateRecord t = now;
  t.Sec = 0;
  for (int minute = 0; minute < 62 * 1440; ++minute) {
    addMinutes(t, 1);
    if (alarmMatches(alarm, t)) {
      next = t;
      return true;
    }
  }
  return false;
}

bool parseDateTime(const std::string& text, DateRecord& date, bool& withSeconds) {
  std::size_t at = 0;
  DateRecord d{};
  d.Year = digits(text, at, 4, 4);
  d.Month = skip(text, at, '-') ? digits(text, at, 2, 2) : -1;
  d.Day = skip(text, at, '-') ? digits(text, at, 2, 2) : -1;
  d.Hour = skip(text, at, ' ') ? digits(text, at, 1, 2) : -1;
  d.Min = skip(text, at, ':') ? digits(text, at, 2, 2) : -1;
  withSeconds = skip(text, at, ':');
  d.Sec = withSeconds ? digits(text, at, 2, 2) : 0;
  if (at != text.size() || d.Year < 2000 || d.Year > 2099 || d.Month < 1 || d.Month > 12 || d.Day < 1 ||
      d.Day > daysInMonth(d.Year, d.Month) || d.Hour < 0 || d.Hour > 23 || d.Min < 0 || d.Min > 59 || d.Sec < 0 ||
      d.Sec > 59)
    return false;
  d.WeekDay = weekDay(d.Year, d.Month, d.Day);
  date = d;
  return true;
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

bool setAlarmInterrupt(bool on) {
  if (iddev < 0) return false;
  return on ? changeRegister(kControlRegister, 0, kInterruptControl | kAlarm2Enable)
            : changeRegister(kControlRegister, kAlarm2Enable, 0);
}

bool clearAlarmFlag() { return iddev >= 0 && changeRegister(kStatusRegister, kAlarm2Flag, 0); }

bool readAlarmState(bool& enabled, bool& fired) {
  if (iddev < 0) return false;
  unsigned char control = 0;
  unsigned char status = 0;
  if (!readRegister(kControlRegister, control) || !readRegister(kStatusRegister, status)) return false;
  enabled = (control & (kInterruptControl | kAlarm2Enable)) == (kInterruptControl | kAlarm2Enable);
  fired = (status & kAlarm2Flag) != 0;
  return true;
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
