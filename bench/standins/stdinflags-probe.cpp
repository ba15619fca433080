// Says whether the open file behind standard input is left non-blocking, for tests that
// run it after a tool on the same standard input.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

int main() {
  const int flags = fcntl(STDIN_FILENO, F_GETFL);
  if (flags == -1) {
    std::puts("stdin closed");
    return 1;
  }
  std::puts((flags & O_NONBLOCK) ? "stdin non-blocking" : "stdin blocking");
  return 0;
}
