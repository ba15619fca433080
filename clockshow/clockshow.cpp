// clockshow: print the board's RTC date and time in one of three formats.
#include <strings.h>

#include <cstdio>
#include <cstdlib>

#include "rtclib.h"
#include "stdfds.h"

namespace {

// Why the clock's date cannot be shown; nullptr when it can.
const char* problem = nullptr;

// The date formats need the clock; a made-up date must never reach a script.
void requireClock() {
  if (!problem) return;
  std::puts(problem);
  std::exit(-1);
}

[[noreturn]] void alldate() {
  requireClock();
  std::printf("%2.2d/%2.2d/%4d %2.2d:%2.2d\n", Date.Day, Date.Month, Date.Year, Date.Hour, Date.Min);
  std::exit(0);
}

[[noreturn]] void onlytime() {
  requireClock();
  std::printf("%2.2d:%2.2d\n", Date.Hour, Date.Min);
  std::exit(0);
}

[[noreturn]] void timestamp() {
  requireClock();
  std::printf("%4d-%2.2d-%2.2d %2.2d:%2.2d", Date.Year, Date.Month, Date.Day, Date.Hour, Date.Min);
  std::exit(0);
}

[[noreturn]] void help() {
  std::puts("Show RTC time");
  std::puts("format : clockshow [-h|-s|-t]");
  std::puts("        no params out: dd/mm/yyyy hh:mm");
  std::puts("        -t  just time: hh:mm");
  std::puts("        -s  timestamp : yyyy-mm-dd hh:mm:ss (no linefeed)");
  std::exit(0);
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  failOnLostOutput();
  // Asking for help touches nothing on the board.
  if (argc > 1 && (strcasecmp(argv[1], "-h") == 0 || strcasecmp(argv[1], "--help") == 0)) help();
  openRTC();
  problem = readValidDate();
  if (argc <= 1) alldate();
  if (strcasecmp(argv[1], "-t") == 0) onlytime();
  if (strcasecmp(argv[1], "-s") == 0) timestamp();
  return 0;
}
