// What the parts of the simulated chip share: its clock and references, the monotonic
// clock, an owned descriptor, and the way the program ends on a fault.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include "board.h"

namespace vmcu::sim {

namespace fs = std::filesystem;

inline constexpr std::uint32_t kHz = 16'000'000;
inline constexpr std::uint32_t kMillivolts = 5000;  // the supply and both analog references

inline std::int64_t nowUs() { return simboard::monotonicMicros(); }

[[noreturn]] inline void die(const std::string& what) {
  std::fprintf(stderr, "vmcu: %s\n", what.c_str());
  std::exit(1);
}

[[noreturn]] inline void dieErrno(const std::string& what) { die(what + ": " + std::strerror(errno)); }

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace vmcu::sim
