// Asks the serial device DEVICE for its modem-control lines as avrdude does, for tests of the
// UART lines that a run gives its programs: prints what each request gave, one line each.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Prints what TIOCMGET gives now.
void show(int fd, const char* what) {
  int bits = 0;
  if (ioctl(fd, TIOCMGET, &bits) != 0)
    std::printf("%s: %s\n", what, std::strerror(errno));
  else
    std::printf("%s: dtr %d rts %d\n", what, (bits & TIOCM_DTR) != 0, (bits & TIOCM_RTS) != 0);
}

}  // namespace

int main(int argc, char** argv) {
  const int fd = argc == 2 ? open(argv[1], O_RDWR | O_NOCTTY) : -1;
  if (fd < 0) {
    std::fputs("usage: uart-probe DEVICE\n", stderr);
    return 2;
  }
  show(fd, "get");
  int dtr = TIOCM_DTR, both = TIOCM_DTR | TIOCM_RTS, none = 0;
  ioctl(fd, TIOCMBIC, &dtr);
  show(fd, "clear dtr");
  ioctl(fd, TIOCMBIS, &both);
  show(fd, "set both");
  ioctl(fd, TIOCMSET, &none);
  show(fd, "set none");
  ioctl(fd, TIOCMSET, &none);  // no change: not traced
  return 0;
}
