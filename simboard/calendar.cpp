#include "calendar.h"

#include <algorithm>

#include "board.h"

namespace simboard {
namespace {

// --- calendar arithmetic on days since 1970-01-01 ---
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

bool bcd(std::uint8_t byte, std::uint8_t mask, int lo, int hi, int& value) {
  const int v = byte & mask;
  if ((v & 0x0F) > 9) return false;
  value = (v >> 4) * 10 + (v & 0x0F);
  return value >= lo && value <= hi;
}

std::uint8_t toBcd(int v) { return static_cast<std::uint8_t>((v / 10) << 4 | v % 10); }

int daysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return month == 2 && leap ? 29 : days[month - 1];
}

// Alarm 2 (registers 11-13): the minute, the hour and the day of the month or of the week, each
// compared unless its bit 7 says any. It matches at the start of a minute, at second 0.
bool alarm2Matches(const Registers& regs, int minute, int hour, int day, int weekday) {
  const std::uint8_t m = regs[11], h = regs[12], d = regs[13];
  int v = 0;
  if (!(m & 0x80) && (!bcd(m, 0x7F, 0, 59, v) || v != minute)) return false;
  if (!(h & 0x80)) {
    if (h & 0x40) {
      if (!bcd(h, 0x1F, 1, 12, v)) return false;
      v = v % 12 + ((h & 0x20) ? 12 : 0);
    } else if (!bcd(h, 0x3F, 0, 23, v)) {
      return false;
    }
    if (v != hour) return false;
  }
  if (!(d & 0x80)) {
    if (d & 0x40) return (d & 0x0F) == weekday;
    return bcd(d, 0x3F, 1, 31, v) && v == day;
  }
  return true;
}

// Sets alarm 2's flag (bit 1 of status register 15) when a minute that starts after `from` and
// by `to` (seconds of the civil calendar) matches it. Every pattern recurs within 62 days, so a
// longer stretch is looked at only in its last 62 days.
void raiseAlarm2(Registers& regs, std::int64_t from, std::int64_t to, int weekday) {
  if (regs[15] & 0x02) return;
  const std::int64_t last = to / 60;
  const std::int64_t first = std::max(from / 60 + 1, last - std::int64_t{62} * 1440);
  for (std::int64_t m = first; m <= last; ++m) {
    const std::int64_t days = m / 1440;
    int y, mo, d;
    civilFromDays(days, y, mo, d);
    const int wd = static_cast<int>((weekday - 1 + (days - from / 86400) % 7) % 7) + 1;
    if (alarm2Matches(regs, static_cast<int>(m % 60), static_cast<int>(m / 60 % 24), d, wd)) {
      regs[15] |= 0x02;
      return;
    }
  }
}


}  // namespace

// The day of the week as the tools and Linux's driver for these chips count it.
std::vector<std::uint8_t> timeBytes(int year, int month, int day, int hour, int minute, int second) {
  const std::int64_t days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  const int weekday = static_cast<int>(((days % 7 + 7) % 7 + 4) % 7) + 1;  // 1970-01-01 was a Thursday
  return {toBcd(second), toBcd(minute), toBcd(hour), static_cast<std::uint8_t>(weekday), toBcd(day),
          toBcd(month), toBcd(((year % 100) + 100) % 100)};
}


bool advanceClock(Registers& regs, std::int64_t seconds) {
  int sec, min, day, month, year, hour;
  const bool h12 = regs[2] & 0x40;
  if (!bcd(regs[0], 0x7F, 0, 59, sec) || !bcd(regs[1], 0x7F, 0, 59, min) || !bcd(regs[4], 0x3F, 1, 31, day) ||
      !bcd(regs[5], 0x1F, 1, 12, month) || !bcd(regs[6], 0xFF, 0, 99, year))
    return false;
  if (h12) {
    if (!bcd(regs[2], 0x1F, 1, 12, hour)) return false;
    hour = hour % 12 + ((regs[2] & 0x20) ? 12 : 0);
  } else if (!bcd(regs[2], 0x3F, 0, 23, hour)) {
    return false;
  }
  const int wday = regs[3] & 0x07;
  if (wday < 1 || day > daysInMonth(2000 + year, month)) return false;

  const std::int64_t start = daysFromCivil(2000 + year, month, day) * 86400 + hour * 3600 + min * 60 + sec;
  const std::int64_t t = start + seconds;
  raiseAlarm2(regs, start, t, wday);
  const std::int64_t days = t / 86400 - start / 86400;
  std::int64_t rest = t % 86400;
  int y, m, d;
  civilFromDays(t / 86400, y, m, d);
  hour = static_cast<int>(rest / 3600);
  rest %= 3600;

  regs[0] = static_cast<std::uint8_t>((regs[0] & 0x80) | toBcd(static_cast<int>(rest % 60)));
  regs[1] = static_cast<std::uint8_t>((regs[1] & 0x80) | toBcd(static_cast<int>(rest / 60)));
  if (h12) {
    const int h = hour % 12 == 0 ? 12 : hour % 12;
    regs[2] = static_cast<std::uint8_t>((regs[2] & 0xC0) | (hour >= 12 ? 0x20 : 0) | toBcd(h));
  } else {
    regs[2] = static_cast<std::uint8_t>((regs[2] & 0xC0) | toBcd(hour));
  }
  regs[3] = static_cast<std::uint8_t>((regs[3] & 0xF8) | ((wday - 1 + days % 7) % 7 + 1));
  regs[4] = static_cast<std::uint8_t>((regs[4] & 0xC0) | toBcd(d));
  // The century bit (bit 7 of the month) flips each time the year passes 99.
  const bool century = ((y - 2000) / 100) % 2 != 0;
  regs[5] = static_cast<std::uint8_t>((regs[5] & 0x60) | (((regs[5] & 0x80) != 0) != century ? 0x80 : 0) | toBcd(m));
  regs[6] = toBcd(((y - 2000) % 100 + 100) % 100);
  return true;
}


}  // namespace simboard
