#include "stdfds.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int lostErrno = 0;  // of a write to descriptor 1 made without stdio

void checkOutput() {
  const bool flushed = std::fflush(stdout) == 0;
  const int err = flushed ? lostErrno : errno;
  if (flushed && !std::ferror(stdout) && lostErrno == 0) return;
  if (err == 0)  // an earlier write through stdio failed, and its reason is gone
    std::fprintf(stderr, "%s: cannot write standard output\n", program_invocation_short_name);
  else
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", program_invocation_short_name, std::strerror(err));
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
  std::signal(SIGPIPE, SIG_IGN);
  std::atexit(checkOutput);
}

void outputLost(int err) { lostErrno = err; }
