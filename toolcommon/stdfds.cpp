#include "stdfds.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int lostErrno = 0;              // of a write to descriptor 1 made without stdio
const char* doneAction = nullptr;  // what was done before the confirmation was lost

void checkOutput() {
  const bool flushed = std::fflush(stdout) == 0;
  const int err = flushed ? lostErrno : errno;
  if (flushed && !std::ferror(stdout) && lostErrno == 0) return;
  // One write, as one line: stderr is unbuffered.
  std::string line = program_invocation_short_name;
  line += doneAction ? std::string(": ") + doneAction + ", but its confirmation could not be written"
                     : std::string(": cannot write standard output");
  // Without errno, an earlier write through stdio failed and its reason is gone.
  if (err != 0) line += std::string(": ") + std::strerror(err);
  line += '\n';
  std::fputs(line.c_str(), stderr);
  _exit(255);
}

}  // namespace

void openStandardFds() {
  // Lowest number first: open takes the lowest free number, which is then this one.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (open("/dev/null", O_RDWR) != fd) std::exit(-1);
  }
}

void failOnLostOutput() {
  static bool checked = false;
  if (checked) return;
  checked = true;
  std::signal(SIGPIPE, SIG_IGN);
  std::atexit(checkOutput);
}

void confirmDone(const char* done) {
  doneAction = done;
  failOnLostOutput();
}

void outputLost(int err) { lostErrno = err; }
