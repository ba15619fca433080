// For the tests of the virtual chip: a program's end of the chip's line, that is the
// port opened by its path (so that the chip's bytes reach it), at a baud rate, raw
// unless asked otherwise. Everything times out. And the pauses and stopwatch of real time
// that those tests share.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>
#include <thread>

#include "bench.h"

namespace vmcu {

inline void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

inline double secondsSince(std::int64_t us) { return static_cast<double>(bench::monotonicMicros() - us) / 1e6; }

class TestPort {
 public:
  TestPort(const std::string& path, speed_t speed, bool raw = true) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), path);
    termios t{};
    tcgetattr(fd_, &t);
    if (raw) cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~TestPort() { ::close(fd_); }
  TestPort(const TestPort&) = delete;
  TestPort& operator=(const TestPort&) = delete;

  int fd() const { return fd_; }

  void setSpeed(speed_t speed) {
    termios t{};
    tcgetattr(fd_, &t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd_, TCSANOW, &t);
  }

  void send(const std::string& bytes) {
    if (::write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
      throw std::system_error(errno, std::generic_category(), "write");
  }

  // What arrives until `needle` has (what comes after it in the same read stays in the
  // result), or until `ms` milliseconds have passed.
  std::string readUntil(const std::string& needle, int ms) {
    std::string got;
    const std::int64_t deadline = bench::monotonicMicros() + std::int64_t{ms} * 1000;
    while (needle.empty() || got.find(needle) == std::string::npos) {
      const std::int64_t left = (deadline - bench::monotonicMicros()) / 1000;
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[512];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
  std::string readFor(int ms) { return readUntil("", ms); }

  // Sends `request` and returns the answer up to and with its first line end.
  std::string ask(const std::string& request, int ms = 1000) {
    send(request);
    return readUntil("\n", ms);
  }

 private:
  int fd_ = -1;
};

}  // namespace vmcu
