// clocksync: copy the board's RTC date and time into the system clock.
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "help.h"
#include "rtclib.h"
#include "stdfds.h"

namespace {

[[gnu::format(printf, 1, 2)]] std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  std::string out(static_cast<std::size_t>(std::vsnprintf(nullptr, 0, fmt, again)), '\0');
  va_end(again);
  std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  va_end(args);
  return out;
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  if (helpAsked(argc, argv)) {
    std::puts("Copy the RTC date and time into the system clock (sudo date -s)");
    std::puts("format : clocksync [-h]");
    std::puts("        the RTC holds local time; clockset writes it");
    return 0;
  }
  // Started with SIGCHLD ignored, system() would find its command reaped already and report
  // a failure whatever the command did.
  std::signal(SIGCHLD, SIG_DFL);
  openRTC();
  // The system clock is never set from a clock that could not be read, nor from a time that
  // cannot exist.
  if (const char* problem = readValidDate()) {
    std::puts(problem);
    return -1;
  }
  std::printf("RTC date : %2.2d/%2.2d/%4d %2.2d:%2.2d:00\n", Date.Day, Date.Month, Date.Year, Date.Hour, Date.Min);
  // Month before day: date reads a date written with slashes that way.
  const std::string sdate = format("sudo date -s '%2.2d/%2.2d/%4d %2.2d:%2.2d:00'", Date.Month, Date.Day, Date.Year,
                                   Date.Hour, Date.Min);
  // The commands write to the same output; ours must come first.
  std::fflush(stdout);
  const int set = std::system(sdate.c_str());
  // Only shows what the clock now says; its result changes nothing.
  [[maybe_unused]] const int shown = std::system("date '+New system date %d/%m/%Y %H:%M'");
  return set == 0 ? 0 : -1;
}
