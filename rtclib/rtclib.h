// RTC access library: the board's battery-backed clock at I2C address 104.
//
//   openRTC()            open the clock; the handle goes to iddev (negative: not open, as when
//                        the bus is missing, not permitted or held by a kernel driver)
//   readTime/readDate    registers 0-2 / 0-6 into Date; readDate reads all seven again, once, when
//                        the minute rolled over while it read them
//   validDate            Date, as the last readDate left it, is a date and time that exists
//   readFailure          what a tool says when readDate failed: "NO RTC found!" or "NO RTC read failed!"
//   readValidDate        readDate and validDate: nullptr, or the line a tool says instead of the date
//                        (readFailure, or kTimeInvalid)
//   writeTime/writeDate  Date into registers 0-2 / 0-6 (the seconds are always written as 0)
//   writeAlarm           Alarm, folded into range, into the alarm registers 11-13
//   setNoWakeUp          the no-wake-up mark (0 in registers 11-13), and Alarm.nowakeup
//   readAlarm            registers 11-13 into Alarm; -1 in dd, hh or min means any
//   validAlarm           the registers of the last readAlarm hold an alarm as readAlarm reads one
//                        (or the no-wake-up mark)
//   setAlarmInterrupt    on: the interrupt output signals alarm 2 (INTCN and A2IE, bits 2 and 1 of
//                        register 14); off: alarm 2 no longer signals (A2IE cleared); other bits kept
//   clearAlarmFlag       alarm 2's flag (A2F, bit 1 of register 15) cleared, which acknowledges a
//                        fired alarm; the other flags kept
//   readAlarmState       whether alarm 2 may signal on the interrupt output, and whether it has fired
//
// The chip's calendar (2000-2099, no time zone), for the tools that set the clock and the alarm:
//   daysInMonth          28 to 31: the days of a month (1-12) of a year, leap years counted
//   weekDay              1 = Sunday ... 7 = Saturday, as Linux's driver for this chip counts
//   addMinutes           a record moved by some minutes; its WeekDay moves along with its days, so a
//                        clock whose week day counts otherwise keeps its own count
//   nextWakeUp           the first minute after `now`'s that the alarm matches (the chip matches at
//                        second 0); false when it never does (the no-wake-up mark)
//   parseDateTime        "YYYY-MM-DD HH:MM[:SS]" of 2000-2099 that exists, WeekDay filled in
//   getBCDtoInt, getInttoBCD, getBit, setBit, resetBit   register byte helpers
//
// The read and write operations do nothing when the clock is not open, and return
// whether every transfer succeeded; a field whose register could not be read keeps
// its value. readAlarm changes Alarm only when all three registers were read, since
// the no-wake-up mark is the three of them together.
#pragma once

#include <string>

struct DateRecord {
  int Sec;
  int Min;
  int Hour;
  int WeekDay;
  int Day;
  int Month;
  int Year;
};

// On a write, dd of 0 or less means any day and a negative hh any hour; the minute
// is always part of the alarm.
struct AlarmRecord {
  bool nowakeup;
  int dd;  // a day of the week (1-7) when wd, else a day of the month (1-31)
  int hh;
  int min;
  bool wd;
};

extern int iddev;
extern DateRecord Date;
extern AlarmRecord Alarm;

void openRTC();
bool readTime();
bool readDate();
bool writeTime();
bool writeDate();
bool writeAlarm();
bool setNoWakeUp();
bool readAlarm();
bool validDate();
bool validAlarm();
const char* readFailure();
const char* readValidDate();
bool setAlarmInterrupt(bool on);
bool clearAlarmFlag();
bool readAlarmState(bool& enabled, bool& fired);
int daysInMonth(int year, int month);
int weekDay(int year, int month, int day);
void addMinutes(DateRecord& date, long long minutes);
bool nextWakeUp(const DateRecord& now, const AlarmRecord& alarm, DateRecord& next);
bool parseDateTime(const std::string& text, DateRecord& date, bool& withSeconds);
inline constexpr const char* kTimeInvalid = "NO RTC time invalid!";

int getBCDtoInt(unsigned char buff, int n);
unsigned char getInttoBCD(int buff);
int getBit(unsigned char b, int n);
unsigned char setBit(unsigned char b, int n);
unsigned char resetBit(unsigned char b, int n);
