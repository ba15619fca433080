// What every case of the bad-input and fault campaign checks, and the hostile inputs it uses.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "bench.h"
#include "standins/avrdude-recorder.h"
#include "standins/date.h"
#include "standins/mcuload-recorder.h"
#include "standins/xterm-recorder.h"

namespace campaign {

namespace fs = std::filesystem;

// --- hostile words ---

struct Hostile {
  std::string name;  // for the test's messages
  std::string value;
};

// Every byte value an argument can hold: 1 to 255 (a NUL ends an argument).
inline std::string everyByte() {
  std::string bytes;
  for (int c = 1; c <= 255; ++c) bytes += static_cast<char>(c);
  return bytes;
}

// Words that try to make a tool crash, run a command or write a file. The commands they
// carry touch files named pwned-* in the board's directory (/dev/vboard in the run) and in
// the run's working directory, where a check afterwards would find them.
inline std::vector<Hostile> hostileWords() {
  return {
      {"empty", ""},
      {"64KiB", std::string(64 * 1024, 'A')},
      {"every byte", everyByte()},
      {"printf formats", "%s%s%s%s%n%n%99999999d%x"},
      {"semicolon", "x; touch /dev/vboard/pwned-semicolon"},
      {"command substitution", "$(touch /dev/vboard/pwned-dollar)"},
      {"backticks", "`touch /dev/vboard/pwned-backtick`"},
      {"single quotes", "x'; touch /dev/vboard/pwned-squote; '"},
      {"double quotes", "x\"; touch /dev/vboard/pwned-dquote; \""},
      {"newline", "x\ntouch /dev/vboard/pwned-newline"},
      {"pipe and and", "x | touch /dev/vboard/pwned-pipe && touch /dev/vboard/pwned-and"},
      {"relative", "$(touch pwned-cwd)`touch pwned-cwd2`"},
      {"minus one", "-1"},
      {"below int", "-2147483649"},
      {"above int", "2147483648"},
      {"above unsigned", "4294967298"},
      {"twenty digits", "99999999999999999999"},
      {"minus twenty digits", "-99999999999999999999"},
      {"exponent", "1e9"},
      {"hex", "0x7fffffff"},
  };
}

// All the words at once, for tools that do not look at their arguments.
inline std::vector<std::string> allHostileWords() {
  std::vector<std::string> all;
  for (const auto& h : hostileWords()) all.push_back(h.value);
  return all;
}

// --- what no input may cause ---

// Ended by itself, not by a signal or the time limit, and no sanitizer spoke.
inline void expectSound(const bench::RunResult& r) {
  EXPECT_FALSE(r.timedOut) << "ran past its time limit";
  EXPECT_EQ(r.signal, 0) << "ended by a signal";
  EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
}

// When the tool's last output arrived: its end, for tools that print as they end. (The end
// a run reports is when the test asked for it.)
inline std::int64_t lastOutputUs(const bench::RunResult& r) {
  return r.outChunks.empty() ? 0 : r.outChunks.back().first;
}

// Until process `pid` holds the terminal `path` open `count` times. The tool names it by a
// name of its own view (/dev/ttyS0), so the device number tells.
inline bool waitOpened(pid_t pid, const std::string& path, int count, int ms = 5000) {
  struct stat want {};
  if (stat(path.c_str(), &want) != 0) return false;
  return bench::waitFor(
      [&] {
        int n = 0;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
          struct stat st {};
          if (stat(e.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == want.st_rdev) ++n;
        }
        return n >= count;
      },
      ms);
}

inline std::set<std::string> namesIn(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// The files a run may leave in the board's directory: the board's own state and trace,
// and the records of the bench's stand-ins for the outside programs.
inline bool documentedOnBoard(const std::string& name) {
  static const std::set<std::string> fixed = {
      "state", "state.new", "trace", "lock", "commands", bench::sysclock::kClock, bench::programmer::kRecord,
      bench::programmer::kPlan, bench::loader::kCalls};
  return fixed.count(name) != 0 || name.starts_with(bench::window::kPrefix);
}

// A working directory of the run's own and the board's directory, looked at before and
// after: no tool writes a file in its working directory, and on the board only the files
// above appear.
class WriteWatch {
 public:
  explicit WriteWatch(const bench::Board& board) : board_(board.dir()), boardBefore_(namesIn(board_)) {}
  const fs::path& cwd() const { return cwd_.path(); }
  void expectNothingWritten() const {
    EXPECT_EQ(namesIn(cwd_.path()), cwdBefore_) << "a file appeared in the working directory";
    for (const auto& name : namesIn(board_)) {
      if (boardBefore_.count(name)) continue;
      EXPECT_TRUE(documentedOnBoard(name)) << "a file appeared on the board: " << name;
      EXPECT_EQ(name.find("pwned"), std::string::npos) << "a hostile word ran a command: " << name;
    }
  }
  // Files the test itself puts in the working directory before the run.
  void add(const std::string& name, const std::string& bytes = ":\n") {
    std::ofstream(cwd_.path() / name, std::ios::binary) << bytes;
    cwdBefore_.insert(name);
  }

 private:
  bench::TempDir cwd_;
  fs::path board_;
  std::set<std::string> boardBefore_;
  std::set<std::string> cwdBefore_;
};

}  // namespace campaign
