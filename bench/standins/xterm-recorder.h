// The recording window, a stand-in for xterm at its fixed path, and how tests read what it
// shows and type into it. Its records, all in the board's directory:
//   commands      its argument vector, one tab-separated line, as the other stand-ins write
//   xterm-window  what it found at start, "key value" lines: fd (the number in -Sxx<fd>),
//                 open, master (yes/no), slave (that master's /dev/pts name), slave-in-parent
//                 (yes when its parent holds that slave), pid, and ppid last
//   xterm-shown   every byte read from the master, as it came: what the window shows
//   xterm-reads   one "microseconds length" line per read of the master (CLOCK_MONOTONIC)
// What the test appends to xterm-typed is written to the master, as keys typed in the window;
// when the test makes xterm-close the window closes: the process ends. Otherwise it runs
// until it is killed. While it runs it holds a lock on xterm-alive.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bench::window {

inline constexpr const char* kProgram = "xterm-recorder";  // in bench::standInDir()
inline constexpr const char* kFound = "xterm-window";
inline constexpr const char* kShown = "xterm-shown";
inline constexpr const char* kReads = "xterm-reads";
inline constexpr const char* kTyped = "xterm-typed";
inline constexpr const char* kClose = "xterm-close";
inline constexpr const char* kAlive = "xterm-alive";
inline constexpr const char* kPrefix = "xterm-";  // of every record but the command log

// What the window on the board in `boardDir` found at start, by key; all of it once "ppid" is there.
inline std::map<std::string, std::string> found(const std::filesystem::path& boardDir) {
  std::map<std::string, std::string> all;
  std::ifstream in(boardDir / kFound);
  for (std::string key, value; in >> key >> value;) all[key] = value;
  return all;
}
inline bool up(const std::filesystem::path& boardDir) { return found(boardDir).count("ppid") != 0; }

inline std::string shown(const std::filesystem::path& boardDir) {
  std::ifstream in(boardDir / kShown, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Each read the window made of its master: when, and how many bytes.
inline std::vector<std::pair<std::int64_t, std::size_t>> reads(const std::filesystem::path& boardDir) {
  std::vector<std::pair<std::int64_t, std::size_t>> all;
  std::ifstream in(boardDir / kReads);
  std::int64_t us = 0;
  std::size_t n = 0;
  while (in >> us >> n) all.emplace_back(us, n);
  return all;
}

// Keys typed in the window, Enter being "\r" as a terminal sends it.
inline void type(const std::filesystem::path& boardDir, const std::string& keys) {
  std::ofstream(boardDir / kTyped, std::ios::app | std::ios::binary) << keys;
}

inline void close(const std::filesystem::path& boardDir) { std::ofstream(boardDir / kClose).put('\n'); }

// Whether the window's process still runs: it holds its lock for as long as it does.
inline bool running(const std::filesystem::path& boardDir) {
  const int fd = ::open((boardDir / kAlive).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

}  // namespace bench::window
