// whichsketch: print the name line of the sketch that runs on the microcontroller.
#include <strings.h>

#include <cstdio>
#include <cstdlib>

#include "seriallink.h"
#include "stdfds.h"

namespace {

[[noreturn]] void help() {
  std::puts("Arduino sketch veryfing");
  std::puts("Just output name if sketch has itsMe() function");
  std::exit(0);
}

// Reads at most 254 characters of the answer line, a CR LF end as one line end, so that
// nothing of it is left for the next run. Each byte is awaited for at most
// 1 s, so that a line in canonical mode, where VTIME does not act, cannot hold the
// tool for ever; serinp is unbuffered, so every byte not yet taken is still visible
// to waitReadable.
void getnamesketch() {
  std::fputs("?\n", serout);
  std::setvbuf(serinp, nullptr, _IONBF, 0);
  rbuff.clear();
  readLine(serinp, rbuff, ports::whichsketch.rbuffSize - 1, [] { return waitReadable(1000); });
  if (rbuff.empty()) {
    std::puts("NO replay");
    std::exit(1);  // a script must not take silence for an answer
  }
  std::printf("%s\n", rbuff.c_str());
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  failOnLostOutput();
  if (argc > 1 && (strcasecmp(argv[1], "-h") == 0 || strcasecmp(argv[1], "--help") == 0)) help();
  init(ports::whichsketch);
  getnamesketch();
  return 0;
}
