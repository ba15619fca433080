// Stand-in for pinwait's loader: records each start, then prints and ends as a loader would
// (see mcuload-recorder.h).
#include "mcuload-recorder.h"

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
    std::ofstream log(std::filesystem::path(simboard::kBoardPath) / bench::loader::kCalls, std::ios::app);
    log << startUs << '\t' << terminals;
    for (int i = 0; i < argc; ++i) log << '\t' << argv[i];
    log << '\n';
  }
  std::fputs(bench::loader::kProgram, stdout);
  for (int i = 1; i < argc; ++i) std::printf(" %s", argv[i]);
  std::fputs("\n", stdout);
  const char* status = std::getenv(bench::loader::kStatus);
  return status != nullptr ? std::atoi(status) : 0;
}
