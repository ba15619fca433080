// sketchqueryblock: send one line to the sketch, wait as long as it takes, print the first answer line.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "seriallink.h"
#include "stdfds.h"

namespace {

[[noreturn]] void help() {
  std::puts("Send a string to Arduino and wait its reply (it's blocking)");
  std::puts("Program needs a replying sketch uploaded on Arduino");
  std::puts("Serial speed is 9600 (fixed)");
  std::puts("Usage: sketchqueryblock \"...\"  or sketchqueryblock [-h] for help ");
  std::puts("Ex.: sketchqueryblock \"?\"");
  std::exit(0);
}

// At most 510 characters; a pause of 0.1 s ends the line early, and so does a read that fails
// (the line hung up): what came before it is still printed, where fgets would drop it.
void readReplyLine() {
  waitInput(0);
  rbuff.clear();
  readLine(serinp, rbuff, ports::sketchqueryblock.rbuffSize - 2);
  std::printf("%s", rbuff.c_str());
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  failOnLostOutput();
  if (argc < 2 || std::strncmp(argv[1], "-h", 2) == 0 || std::strcmp(argv[1], "--help") == 0) help();
  init(ports::sketchqueryblock);
  discardInput();
  std::fprintf(serout, "%s\n", argv[1]);
  std::fflush(serout);
  readReplyLine();
  return 0;
}
