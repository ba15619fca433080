// clockprobe: check the RTC library by printing the clock's date and time.
#include <cstdio>

#include "rtclib.h"

namespace {

void printDate() {
  std::printf("%2.2d/%2.2d/%4d %2.2d:%2.2d\n", Date.Day, Date.Month, Date.Year, Date.Hour, Date.Min);
}

}  // namespace

int main() {
  std::fputs("RTC Date:  ", stdout);
  openRTC();
  if (!readDate()) {
    std::puts(iddev < 0 ? "NO RTC found!" : "NO RTC read failed!");
    return -1;
  }
  printDate();
  return 0;
}
