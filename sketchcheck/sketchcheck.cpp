// sketchcheck: tell a script whether the running sketch has the given name.
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "seriallink.h"

namespace {

[[noreturn]] void help() {
  std::puts("Return 0 if sketch has the name indicated; 1 otherwise");
  std::puts("Sketch has to inplement function itsMe()");
  std::puts("Serial speed is 9600 (fixed)");
  std::puts("Usage: sketchcheck \"nametoverify\" or sketchcheck [-h] for help ");
  std::puts("Ex.: sketchcheck \"LinkTest\"");
  std::exit(1);
}

// The answer as text in rbuff; false when not one byte came.
bool readReply() {
  std::size_t stored = 0;
  if (waitInput(tries)) {
    while (stored < rbuff.size() - 1 && read(fd, &rbuff[stored], 1) == 1) ++stored;
  }
  rbuff[stored] = '\0';
  return stored > 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2 || std::strncmp(argv[1], "-h", 2) == 0) help();
  init(ports::sketchcheck);
  discardInput();
  std::fputs("?\n", serout);
  // Silence is never a match, not even for an empty name.
  if (readReply() && strncasecmp(rbuff.c_str(), argv[1], std::strlen(argv[1])) == 0) {
    std::puts("YES");
    return 0;
  }
  std::puts("NO");
  return 1;
}
