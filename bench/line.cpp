#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "bench.h"

namespace bench {

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// The tools started from the bench must not inherit either side.
void closeOnExec(int fd) {
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) fail("fcntl");
}

std::string nameOf(int fd) {
  std::string name(64, '\0');
  for (;;) {
    const int err = ttyname_r(fd, name.data(), name.size());
    if (err == 0) break;
    if (err != ERANGE) {
      errno = err;
      fail("ttyname_r");
    }
    name.resize(name.size() * 2);
  }
  name.resize(name.find('\0'));
  return name;
}

void setLocalFlag(int fd, tcflag_t flag, bool on) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) fail("tcgetattr");
  if (on)
    t.c_lflag |= flag;
  else
    t.c_lflag &= ~flag;
  if (tcsetattr(fd, TCSANOW, &t) != 0) fail("tcsetattr");
}

}  // namespace

Line::Line() {
  if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) fail("openpty");
  try {
    closeOnExec(master_);
    closeOnExec(slave_);
    slavePath_ = nameOf(slave_);
  } catch (...) {
    close(slave_);
    close(master_);
    throw;
  }
}

Line::~Line() {
  close(slave_);
  close(master_);
}

void Line::setCanonical(bool on) { setLocalFlag(slave_, ICANON, on); }

void Line::setEcho(bool on) { setLocalFlag(slave_, ECHO, on); }

termios Line::settings() const {
  termios t{};
  if (tcgetattr(slave_, &t) != 0) fail("tcgetattr");
  return t;
}

}  // namespace bench
