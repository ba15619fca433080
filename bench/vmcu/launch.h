// Starting the program vmcu and talking to it: what vboard's microcontroller commands and
// the tests' vmcu::Chip share.
//
//   launch(program, how)            start vmcu as `how` says; its pid and the port it names
//   connectControl(path)            a connection to its control socket
//   request(socket, line, ms)       one control line and its answer
//   readLine(fd, ms)                bytes up to a line end, within a time limit
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace vmcu {

// How long the chip may take to come up, or to answer a control line.
inline constexpr int kStartMs = 10000;

struct Launch {
  std::filesystem::path board{};    // whose GPIO 23 resets the chip
  std::filesystem::path control{};  // its control socket
  std::filesystem::path log{};      // what it sent and received (format in vmcu.cpp)
  std::filesystem::path sketch{};   // put in flash first; empty: the flash as it is
  int line = -1;                    // a Line's master for its UART; -1: a pseudo-terminal of its own
  pid_t parent = -1;                // the chip ends with this process; -1: it outlives its starter
  // In a session of its own with none of the starter's streams, its errors in `errors`: so
  // that whoever waits for the starter's output is not held up by the chip, nor is the chip
  // ended with the starter's terminal.
  bool detached = false;
  std::filesystem::path errors{};  // with `detached`
};

struct Launched {
  pid_t pid = -1;
  std::string port;  // the chip's serial line
};

// The program did not say which port it has, only `said`.
struct NotStarted : std::runtime_error {
  explicit NotStarted(const std::string& said) : std::runtime_error("the virtual chip did not start: " + said) {}
};

// Starts `program` (vmcu) and waits for it to name its port. When it does not, within
// kStartMs, it is killed and reaped, and NotStarted thrown.
Launched launch(const std::filesystem::path& program, const Launch& how);

// A connected socket, or -1 with errno set when no chip listens on `path`.
int connectControl(const std::string& path);

// Sends `line` and reads its answer, without the line end; none when it does not come
// within `timeoutMs`, or the chip has gone.
std::optional<std::string> request(int socket, const std::string& line, int timeoutMs);

// Reads from `fd` until a line end; the line without it, or none when the time runs out or
// the other side closes first.
std::optional<std::string> readLine(int fd, int timeoutMs);

}  // namespace vmcu
