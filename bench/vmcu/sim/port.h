// The chip's UART on a pseudo-terminal, and what the wire makes of bytes sent at a rate other
// than the receiver's.
#pragma once

#include <fcntl.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "basics.h"
#include "log.h"

namespace vmcu::sim {

// What a receiver at `receiver` baud makes of bytes sent at `sender` baud: the bytes
// themselves within 5 %, else framing garbage (never a line end); a sender more than
// twice as fast as the receiver also loses most of its bytes between two start bits.
inline std::string overTheWire(std::string_view bytes, double sender, double receiver) {
  if (sender <= 0 || receiver <= 0) return {};
  const double ratio = sender / receiver;
  if (ratio > 0.95 && ratio < 1.05) return std::string(bytes);
  const std::size_t keepEvery = ratio > 2 ? static_cast<std::size_t>(ratio + 0.5) : 1;
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += keepEvery)
    out += static_cast<char>(0x80 | (static_cast<std::uint8_t>(bytes[i]) >> 1));
  return out;
}

inline double termiosBaud(speed_t s) {
  static const std::map<speed_t, double> rates = {
      {B0, 0},         {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
      {B150, 150},     {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},
      {B1800, 1800},   {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
      {B38400, 38400}, {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
      {B500000, 500000}, {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}};
  const auto it = rates.find(s);
  return it == rates.end() ? 0 : it->second;
}

// The chip's end of the serial line: a pseudo-terminal master. Like a real UART's
// line it carries bytes only while a program has the port open: opens and closes of
// the slave are watched, and what the chip sends while no one has it open is lost.
// The bench's own descriptor of a Line's slave, opened before, does not count.
class Port {
 public:
  explicit Port(int master) : master_(master) {
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) dieErrno("--line is not a pseudo-terminal master");
    path_ = name;
    // Held, so the line lives while no program has it open, and its unread input can
    // be dropped when the last one closes it, as closing a real port does.
    slave_ = Fd(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (slave_.get() < 0) dieErrno(path_);
    watch_ = Fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (watch_.get() < 0 || inotify_add_watch(watch_.get(), name, IN_OPEN | IN_CLOSE) < 0)
      dieErrno("watching " + path_);
    flags_ = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, flags_ | O_NONBLOCK);
  }
  ~Port() { fcntl(master_, F_SETFL, flags_); }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  const std::string& path() const { return path_; }
  int master() const { return master_; }
  int watch() const { return watch_.get(); }
  bool open() const { return users_ > 0; }

  void takeWatchEvents(Log& log) {
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = ::read(watch_.get(), buf, sizeof buf)) > 0;) {
      for (char* p = buf; p < buf + n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(p);
        if (e->mask & IN_OPEN) {
          ++users_;
          log.event("port opened");
        }
        if ((e->mask & IN_CLOSE) && users_ > 0) {
          if (--users_ == 0) tcflush(slave_.get(), TCIFLUSH);
          log.event("port closed");
        }
        p += sizeof(inotify_event) + e->len;
      }
    }
  }

  // The rate the program set on the port (the master reads the slave's settings).
  double baud() const {
    termios t{};
    if (tcgetattr(master_, &t) != 0) return 0;
    return termiosBaud(cfgetospeed(&t));
  }

  void send(std::string_view bytes) {
    // A program that does not read loses what overflows, as a real UART would.
    if (!bytes.empty()) (void)!::write(master_, bytes.data(), bytes.size());
  }
  std::string receive() {
    std::string got;
    char buf[512];
    for (ssize_t n; (n = ::read(master_, buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
    return got;
  }

 private:
  int master_;
  int flags_ = 0;
  std::string path_;
  Fd slave_;
  Fd watch_;
  int users_ = 0;
};

}  // namespace vmcu::sim
