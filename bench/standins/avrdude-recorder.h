// The recording programmer, a stand-in for avrdude at its fixed path, and how tests
// read what it saw.
//
//   record file "avrdude-record" in the board's directory, one block per start:
//     run PID START_US LEVEL     monotonic start time, reset line (GPIO 23) level at start
//     arg TEXT                   the argument vector, entry 0 first
//     env TEXT                   the environment, as received
//     end END_US LEVEL           just before it ends, the line's level then
//   plan file "avrdude-plan", written by the test before the run, so that the
//   environment under record stays the tool's own:
//     "SLEEP_MS STATUS\n" and then the bytes to print on standard output;
//     a negative STATUS ends it by signal -STATUS.
// TEXT has backslash and newline escaped as \\ and \n.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "board.h"

namespace bench::programmer {

inline constexpr const char* kProgram = "avrdude-recorder";  // in bench::standInDir()
inline constexpr const char* kRecord = "avrdude-record";
inline constexpr const char* kPlan = "avrdude-plan";
inline constexpr int kResetPin = simboard::kResetPin;

struct Run {
  int pid = 0;
  std::int64_t startUs = 0;
  int levelAtStart = -1;
  std::vector<std::string> argv;
  std::vector<std::string> env;
  std::int64_t endUs = -1;  // -1: it never reached its end
  int levelAtEnd = -1;
};

inline std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

inline std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      ++i;
      out += text[i] == 'n' ? '\n' : text[i];
    } else {
      out += text[i];
    }
  }
  return out;
}

// Every start recorded on the board in `boardDir`, oldest first.
inline std::vector<Run> runs(const std::filesystem::path& boardDir) {
  std::vector<Run> all;
  std::ifstream in(boardDir / kRecord);
  for (std::string line; std::getline(in, line);) {
    const std::string key = line.substr(0, 4);
    const std::string rest = line.size() > 4 ? line.substr(4) : "";
    std::istringstream fields(rest);
    if (key == "run ") {
      all.emplace_back();
      fields >> all.back().pid >> all.back().startUs >> all.back().levelAtStart;
    } else if (all.empty()) {
      continue;
    } else if (key == "arg ") {
      all.back().argv.push_back(unescape(rest));
    } else if (key == "env ") {
      all.back().env.push_back(unescape(rest));
    } else if (key == "end ") {
      fields >> all.back().endUs >> all.back().levelAtEnd;
    }
  }
  return all;
}

inline void forget(const std::filesystem::path& boardDir) { std::filesystem::remove(boardDir / kRecord); }

// What the next starts do: sleep `sleepMs`, print `out`, end with `status`.
inline void plan(const std::filesystem::path& boardDir, int sleepMs, int status, const std::string& out = "") {
  std::ofstream(boardDir / kPlan, std::ios::trunc) << sleepMs << ' ' << status << '\n' << out;
}

}  // namespace bench::programmer
