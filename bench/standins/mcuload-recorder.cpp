// Stand-in for pinwait's loader. Appends one line per call to /dev/vboard/mcuload-calls:
//   monotonic start time (us) TAB terminals it inherited beyond fds 0-2 TAB argv[0] TAB argv[1] ...
// A loader started while the caller still held the serial port would inherit it; on the Pi
// the upload would then share the port. Prints "mcuload-recorder" and its arguments, as a
// loader prints its progress, and ends with the status in MCULOAD_RECORDER_STATUS (else 0).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "board.h"

int main(int argc, char** argv) {
  const std::int64_t startUs = simboard::monotonicMicros();
  int terminals = 0;
  for (int fd = 3; fd < 1024; ++fd)
    if (isatty(fd)) ++terminals;
  {
    std::ofstream log(std::string(simboard::kBoardPath) + "/mcuload-calls", std::ios::app);
    log << startUs << '\t' << terminals;
    for (int i = 0; i < argc; ++i) log << '\t' << argv[i];
    log << '\n';
  }
  std::fputs("mcuload-recorder", stdout);
  for (int i = 1; i < argc; ++i) std::printf(" %s", argv[i]);
  std::fputs("\n", stdout);
  const char* status = std::getenv("MCULOAD_RECORDER_STATUS");
  return status != nullptr ? std::atoi(status) : 0;
}
