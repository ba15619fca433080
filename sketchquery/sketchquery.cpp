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

// An answer is copied until the line falls silent, for at most this long: an answer of 8 KiB
// takes 8.5 s at 9600 baud (960 bytes a second), and a sketch that never pauses must not keep
// the tool for ever. An answer still coming then is cut, and the status says so.
constexpr auto kCopyMost = std::chrono::seconds(10);
constexpr int kSilenceMs = 100;

// Straight to descriptor 1, so each piece shows as soon as it arrives and unchanged; a piece
// that cannot be written ends the copy, and the program's status says so. False when the
// answer was cut.
bool copyReply() {
  if (!waitInput(tries)) return true;
  const auto until = std::chrono::steady_clock::now() + kCopyMost;
  while (std::chrono::steady_clock::now() < until) {
    const ssize_t n = read(fd, rbuff.data(), rbuff.size());
    if (n <= 0) return true;  // 0.1 s of silence (VTIME), or the line hung up
    if (write(STDOUT_FILENO, rbuff.data(), static_cast<std::size_t>(n)) != n) {
      outputLost(errno);
      return true;
    }
  }
  // Whole only when the line falls silent right at the bound.
  return !waitReadable(kSilenceMs);
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
  if (!copyReply()) {
    std::fprintf(stderr, "sketchquery: answer cut: still coming after %lld s\n", static_cast<long long>(kCopyMost.count()));
    return -1;
  }
  return 0;
}
