// clockprobe: check the RTC library by printing the clock's date and time.
#include <cstdio>

#include "help.h"
#include "rtclib.h"
#include "stdfds.h"

namespace {

void printDate() {
  std::printf("%2.2d/%2.2d/%4d %2.2d:%2.2d\n", Date.Day, Date.Month, Date.Year, Date.Hour, Date.Min);
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  failOnLostOutput();
  if (helpAsked(argc, argv)) {
    std::puts("Check the RTC library: print the RTC date and time");
    std::puts("format : clockprobe [-h]");
    return 0;
  }
  std::fputs("RTC Date:  ", stdout);
  openRTC();
  if (const char* problem = readValidDate()) {
    std::puts(problem);
    return -1;
  }
  printDate();
  return 0;
}
