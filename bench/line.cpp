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

// The slave's settings as `change` leaves them.
template <typename F>
void changeSettings(int fd, F change) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) fail("tcgetattr");
  change(t);
  if (tcsetattr(fd, TCSANOW, &t) != 0) fail("tcsetattr");
}

void setLocalFlag(int fd, tcflag_t flag, bool on) {
  changeSettings(fd, [&](termios& t) {
    if (on)
      t.c_lflag |= flag;
    else
      t.c_lflag &= ~flag;
  });
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
  hangUp();
}

void Line::hangUp() {
  if (master_ < 0) return;
  close(master_);
  master_ = -1;
}

void Line::setCanonical(bool on) { setLocalFlag(slave_, ICANON, on); }

void Line::setEcho(bool on) { setLocalFlag(slave_, ECHO, on); }

void Line::setCrToNl(bool on) {
  changeSettings(slave_, [&](termios& t) {
    if (on)
      t.c_iflag |= ICRNL;
    else
      t.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
  });
}

void Line::setPlain() {
  changeSettings(slave_, [](termios& t) {
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  });
}

void Line::setRaw() {
  changeSettings(slave_, [](termios& t) { cfmakeraw(&t); });
}

termios Line::settings() const {
  termios t{};
  if (tcgetattr(slave_, &t) != 0) fail("tcgetattr");
  return t;
}

}  // namespace bench
