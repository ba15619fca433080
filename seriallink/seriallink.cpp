#include "seriallink.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

namespace ports {
// device, open flags, speed, clear ICANON, VTIME, VMIN, streams reopened, rbuff
const PortRow pinwait{"/dev/ttyAMA0", O_RDWR | O_NOCTTY, B9600, false, 0, 1, false, 255};
const PortRow cmdlistener{"/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK, B115200, false, 1, std::nullopt, true, 512};
const PortRow sketchcheck{"/dev/ttyS0", O_RDWR | O_NOCTTY, B9600, true, 1, 0, false, 512};
const PortRow sketchquery{"/dev/ttyS0", O_RDWR | O_NOCTTY, B9600, true, 1, 0, false, 512};
const PortRow sketchqueryblock{"/dev/ttyS0", O_RDWR | O_NOCTTY, B9600, true, 1, 0, false, 512};
const PortRow whichsketch{"/dev/ttyS0", O_RDWR | O_NOCTTY, B9600, false, 10, 0, true, 255};
}  // namespace ports

int fd = -1;
termios options{};
speed_t baud = B9600;
FILE* serinp = nullptr;
FILE* serout = nullptr;
std::string rbuff;
int tries = 200;
bool run = true;

namespace {

[[noreturn]] void cannotOpen() {
  std::printf("Impossible to open serial port!");
  std::exit(-1);
}

// A stream of its own descriptor, so that closing the streams and `fd` closes each
// descriptor once. Reopened streams do not take the line as controlling terminal
// and, unlike `fd`, never carry O_NONBLOCK.
FILE* makeStream(const PortRow& row, const char* mode) {
  int own = row.reopenStreams ? open(row.device, (mode[0] == 'r' ? O_RDONLY : O_WRONLY) | O_NOCTTY) : dup(fd);
  if (own < 0) return nullptr;
  FILE* stream = fdopen(own, mode);
  if (stream == nullptr) close(own);
  return stream;
}

}  // namespace

void init(const PortRow& row) {
  fd = open(row.device, row.openFlags);
  if (fd < 0) cannotOpen();
  tcgetattr(fd, &options);
  baud = row.speed;
  cfsetispeed(&options, baud);
  cfsetospeed(&options, baud);
  if (row.canonicalOff) options.c_lflag &= ~static_cast<tcflag_t>(ICANON);
  options.c_cc[VTIME] = row.vtime;
  if (row.vmin) options.c_cc[VMIN] = *row.vmin;
  tcsetattr(fd, TCSANOW, &options);
  rbuff.assign(row.rbuffSize, '\0');
  // A port without its streams is as useless to the caller as one that did not open.
  serinp = makeStream(row, "r");
  if (serinp == nullptr) cannotOpen();
  serout = makeStream(row, "w");
  if (serout == nullptr) cannotOpen();
}

void setSerialBlock(bool block) {
  options.c_cc[VTIME] = block ? 0 : 5;
  options.c_cc[VMIN] = block ? 1 : 0;
  tcsetattr(fd, TCSAFLUSH, &options);
}

void closeSer() {
  sleep(1);
  tcflush(fd, TCIOFLUSH);
  std::fclose(serinp);
  std::fclose(serout);
  close(fd);
  serinp = nullptr;
  serout = nullptr;
  fd = -1;
}

void discardInput() {
  std::array<char, 512> junk;
  while (read(fd, junk.data(), junk.size()) > 0) {
  }
}

bool waitInput(int limit) {
  int pending = 0;
  for (int polls = 0;;) {
    ioctl(fd, FIONREAD, &pending);
    ++polls;
    if (pending > 0) return true;
    usleep(10000);
    if (limit > 0 && polls >= limit) return false;
  }
}

bool waitReadable(int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0 && (p.revents & POLLIN) != 0;
}
