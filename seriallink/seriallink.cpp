#include "seriallink.h"

#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>

// Disabling the editing characters must leave VMIN and VTIME alone; some systems give them a slot in common.
static_assert(std::none_of(std::begin(kEditChars), std::end(kEditChars), [](int c) { return c == VMIN || c == VTIME; }));

namespace ports {
namespace {
constexpr int kOpen = O_RDWR | O_NOCTTY | O_CLOEXEC;
}  // namespace
// device, open flags, speed, input/output/local flags cleared, VTIME, VMIN, streams reopened, rbuff
const PortRow pinwait{"/dev/ttyAMA0", kOpen, B9600, kRawInput, kRawOutput, kQuiet, 0, 1, false, 255};
const PortRow cmdlistener{"/dev/ttyS0", kOpen | O_NONBLOCK, B115200, kRawInput, kRawOutput, kQuiet, 1, std::nullopt, true, 512};
const PortRow sketchcheck{"/dev/ttyS0", kOpen, B9600, kRawInput, kRawOutput, kQuiet | ICANON, 1, 0, false, 512};
const PortRow sketchquery{"/dev/ttyS0", kOpen, B9600, kRawInput, kRawOutput, kQuiet | ICANON, 1, 0, false, 512};
const PortRow sketchqueryblock{"/dev/ttyS0", kOpen, B9600, kRawInput, kRawOutput, kQuiet | ICANON, 1, 0, false, 512};
const PortRow whichsketch{"/dev/ttyS0", kOpen, B9600, kRawInput, kRawOutput, kQuiet, 10, 0, true, 255};
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

// How long a program waits for the one before it to let go of the device.
constexpr int kLockWaitMs = 2000;
// The discard before a request ends after this much silence, or this long in all.
constexpr int kSilenceMs = 100;
constexpr auto kDiscardMost = std::chrono::seconds(1);
// waitInput's limit counts steps of this many milliseconds.
constexpr int kStepMs = 10;

[[noreturn]] void cannotOpen() {
  std::printf("Impossible to open serial port!");
  std::exit(-1);
}

// One program of the suite at a time on the device, so that a second one neither changes the
// first one's settings nor takes its answers. A device that knows no locks is used as it is.
bool lockDevice() {
  for (int waited = 0;; waited += 10) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) return true;
    if (waited >= kLockWaitMs) return false;
    usleep(10000);
  }
}

// A stream of its own descriptor, so that closing the streams and `fd` closes each
// descriptor once. Reopened streams take the row's open flags but, unlike `fd`, never
// O_NONBLOCK.
FILE* makeStream(const PortRow& row, const char* mode) {
  const int access = mode[0] == 'r' ? O_RDONLY : O_WRONLY;
  const int own = row.reopenStreams ? open(row.device, (row.openFlags & ~(O_ACCMODE | O_NONBLOCK)) | access)
                                    : fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return nullptr;
  FILE* stream = fdopen(own, mode);
  if (stream == nullptr) close(own);
  return stream;
}

}  // namespace

void init(const PortRow& row) {
  fd = open(row.device, row.openFlags);
  if (fd < 0 || !lockDevice()) cannotOpen();
  tcgetattr(fd, &options);
  baud = row.speed;
  cfsetispeed(&options, baud);
  cfsetospeed(&options, baud);
  options.c_iflag &= ~row.inputOff;
  options.c_oflag &= ~row.outputOff;
  options.c_lflag &= ~row.localOff;
  for (int c : kEditChars) options.c_cc[c] = _POSIX_VDISABLE;
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
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + kDiscardMost;
  std::array<char, 512> junk;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0 || !waitReadable(static_cast<int>(std::min<long long>(left, kSilenceMs)))) return;
    if (read(fd, junk.data(), junk.size()) <= 0) return;
  }
}

bool waitInput(int limit) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::milliseconds(limit * kStepMs);
  // What is left of the bound; -1, for ever, without one.
  const auto left = [&] {
    return limit > 0 ? static_cast<int>(std::max<long long>(
                           0, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count()))
                     : -1;
  };
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    const int n = poll(&p, 1, left());
    if (n == 0) return false;
    // A line that hung up shows as readable, and reads end empty: only bytes count.
    int pending = 0;
    if (n > 0 && ioctl(fd, FIONREAD, &pending) == 0 && pending > 0) return true;
    if (n > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) break;  // no byte can come any more
  }
  // The wait keeps its length, as if the line had stayed silent.
  while (poll(nullptr, 0, left()) != 0) {
  }
  return false;
}

bool waitReadable(int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0 && (p.revents & POLLIN) != 0;
}

bool readLine(FILE* in, std::string& line, std::size_t max, const std::function<bool()>& ready) {
  for (;;) {
    const bool afterCr = !line.empty() && line.back() == '\r';
    // A full line that ends in a CR may still have its LF to come.
    if (line.size() >= max && !afterCr) return true;
    if (ready && !ready()) return false;
    const int c = std::getc(in);
    if (c == EOF) return false;
    if (c == '\n' && afterCr) {
      line.back() = '\n';
      return true;
    }
    if (line.size() >= max) {
      std::ungetc(c, in);  // not the line's: it stays for the next read
      return true;
    }
    line.push_back(static_cast<char>(c));
    if (c == '\n') return true;
  }
}
