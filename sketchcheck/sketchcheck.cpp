// sketchcheck: tell a script whether the running sketch has the given name.
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "seriallink.h"
#include "stdfds.h"

namespace {

[[noreturn]] void help() {
  std::puts("Return 0 if sketch has the name indicated; 1 otherwise");
  std::puts("Sketch has to inplement function itsMe()");
  std::puts("Serial speed is 9600 (fixed)");
  std::puts("Usage: sketchcheck \"nametoverify\" or sketchcheck [-h] for help ");
  std::puts("Ex.: sketchcheck \"LinkTest\"");
  std::exit(1);
}

// The answer as text in rbuff, at most its size less one bytes; a CR LF line end is stored as
// its LF alone, as a line reader takes it. False when not one byte came.
bool readReply() {
  const std::size_t most = rbuff.size() - 1;
  std::size_t stored = 0;
  if (waitInput(tries)) {
    for (char c; (stored < most || rbuff[most - 1] == '\r') && read(fd, &c, 1) == 1;) {
      if (c == '\n' && stored > 0 && rbuff[stored - 1] == '\r')
        rbuff[stored - 1] = c;
      else if (stored < most)
        rbuff[stored++] = c;
      else
        break;  // the byte after a CR that filled the text is not its LF
    }
  }
  rbuff[stored] = '\0';
  return stored > 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  failOnLostOutput();
  if (argc < 2 || std::strncmp(argv[1], "-h", 2) == 0 || std::strcmp(argv[1], "--help") == 0) help();
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
