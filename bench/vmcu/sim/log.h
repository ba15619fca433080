// The chip's log: what it sent and received, and what happened to it (its lines below).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "basics.h"

namespace vmcu::sim {

inline std::string escaped(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// What the chip sent and received, and what happened to it, one line a time:
//   SECONDS chip "BYTES"   sent by the chip and delivered to the port
//   SECONDS lost "BYTES"   sent by the chip while no program had the port open
//   SECONDS pi "BYTES"     received by the chip, as it heard them
//   SECONDS EVENT          power-on, reset, port opened, port closed, pin D6 1, adc 2 3000,
//                          stopped (simavr halts a chip whose program crashed), until a reset
// Bytes of one direction are gathered into one line until 20 ms pass without more.
class Log {
 public:
  explicit Log(const fs::path& path) : startUs_(nowUs()) {
    if (path.empty()) return;
    file_ = std::fopen(path.c_str(), "a");
    if (file_ == nullptr) dieErrno("log " + path.string());
  }
  ~Log() {
    if (file_ == nullptr) return;
    flush();
    std::fclose(file_);
  }
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  void event(const std::string& what) {
    flush();
    write(nowUs(), what);
  }
  void bytes(std::string_view direction, std::string_view b) {
    if (file_ == nullptr || b.empty()) return;
    if (direction != direction_) flush();
    if (pending_.empty()) pendingUs_ = nowUs();
    direction_ = direction;
    pending_ += b;
    lastUs_ = nowUs();
  }
  void tick() {
    if (!pending_.empty() && nowUs() - lastUs_ > kGatherUs) flush();
  }

 private:
  static constexpr std::int64_t kGatherUs = 20'000;
  void flush() {
    if (pending_.empty()) return;
    write(pendingUs_, std::string(direction_) + " \"" + escaped(pending_) + "\"");
    pending_.clear();
  }
  void write(std::int64_t us, const std::string& what) {
    if (file_ == nullptr) return;
    std::fprintf(file_, "%.3f %s\n", static_cast<double>(us - startUs_) / 1e6, what.c_str());
    std::fflush(file_);
  }

  std::FILE* file_ = nullptr;
  std::int64_t startUs_;
  std::string_view direction_;
  std::string pending_;
  std::int64_t pendingUs_ = 0;
  std::int64_t lastUs_ = 0;
};

}  // namespace vmcu::sim
