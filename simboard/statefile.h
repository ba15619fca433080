// How a board lives on disk: its folder, opened without following symbolic links, vetted for
// its owner and its board mark; the state file, read strictly and replaced whole; the lock
// that makes each read-modify-write of the state one step; the trace appended beside it.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "board.h"

namespace simboard {

std::int64_t realtimeMicros();

[[noreturn]] void fail(const std::filesystem::path& what, const std::string& why);
// `doing` and the cause errno names.
[[noreturn]] void failErrno(const std::filesystem::path& what, const std::string& doing);

// A descriptor closed when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd();
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The board's folder, never through a symbolic link: vboard often runs as root, and a link
// planted in its place would have it write wherever the link points. -1 with errno set.
int openFolder(const std::filesystem::path& dir, int flags = O_PATH);
// A file of the board's folder, never through a symbolic link.
int openIn(int dirFd, const char* name, int flags, mode_t mode = 0644);
// All of a file of the folder; nullopt when there is none.
std::optional<std::string> readIn(int dirFd, const std::filesystem::path& dir, const char* name);

// Opens a board's folder that exists, or says why it is not one: -1 when there is no
// folder, else a descriptor.
int vetFolder(const std::filesystem::path& dir);
// Refuses a folder that another user could change under the bench.
void checkOwner(int dirFd, const std::filesystem::path& dir);
bool marked(int dirFd);
// Marks an empty folder as a board's; refuses one that holds files but no mark.
void markFolder(int dirFd, const std::filesystem::path& dir);

// The whole board, as kept in the file "state".
struct State {
  RtcBus bus = RtcBus::kOk;
  bool gpioDenied = false;
  int failAfter = -1;
  bool hold = false;
  Registers regs{};
  std::int64_t baseUs = 0;  // wall time at which regs 0-6 were last set
  std::map<int, PinState> pins;
  struct Input {
    std::int64_t sinceUs = 0;  // monotonic time the schedule was set
    std::vector<LevelStep> steps;
  };
  std::map<int, Input> inputs;
};

// Holds the board's lock for one read-modify-write of its state. A state that cannot be
// read, or written back, is an error: never a default that a tool would take for the clock.
class Locked {
 public:
  // `mayBeNew`: a board being made has no state yet; it starts from the default one.
  explicit Locked(const std::filesystem::path& dir, bool mayBeNew = false);
  // Writes a changed state back, unless an exception is already on its way: an error in the
  // write is the caller's, as any other. The lock goes with the descriptor either way.
  ~Locked() noexcept(false);
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  bool fresh() const { return fresh_; }
  State& state() { return state_; }
  State& change() {
    dirty_ = true;
    return state_;
  }
  int dirFd() const { return dirFd_.get(); }
  // Appends "time pid op args..." to the board's trace.
  void trace(const std::string& op, const std::vector<int>& args);

 private:
  [[noreturn]] void damaged(int number, const std::string& line) const;
  void load(const std::string& text);
  void save();

  std::filesystem::path dir_;
  Fd dirFd_;
  Fd lockFd_;
  bool fresh_ = false;
  bool dirty_ = false;
  int uncaught_ = 0;
  State state_;
};

}  // namespace simboard
