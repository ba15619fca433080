// sketchquery: send one line to the sketch and copy its answer, until the line falls silent.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "seriallink.h"
#include "stdfds.h"

namespace {

[[noreturn]] void help() {
  std::puts("Send a string to Arduino and print its reply");
  std::puts("Program needs a replying sketch uploaded on Arduino");
  std::puts("Serial speed is 9600 (fixed)");
  std::puts("Usage: sketchquery \"...\"  or sketchquery [-h] for help ");
  std::puts("Ex.: sketchquery \"?\"");
  std::exit(0);
}

// A sketch that never falls silent is copied for this long, so that the tool always ends.
constexpr auto kCopyMost = std::chrono::seconds(2);

// Straight to descriptor 1, so each piece shows as soon as it arrives and unchanged; a piece
// that cannot be written ends the copy, and the program's status says so.
void copyReply() {
  if (!waitInput(tries)) return;
  const auto until = std::chrono::steady_clock::now() + kCopyMost;
  for (ssize_t n; std::chrono::steady_clock::now() < until && (n = read(fd, rbuff.data(), rbuff.size())) > 0;) {
    if (write(STDOUT_FILENO, rbuff.data(), static_cast<std::size_t>(n)) != n) {
      outputLost(errno);
      return;
    }
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  failOnLostOutput();
  if (argc < 2 || std::strncmp(argv[1], "-h", 2) == 0 || std::strcmp(argv[1], "--help") == 0) help();
  init(ports::sketchquery);
  discardInput();
  std::fprintf(serout, "%s\n", argv[1]);
  std::fflush(serout);
  copyReply();
  return 0;
}
