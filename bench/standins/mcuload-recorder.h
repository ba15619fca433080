// The recording loader, a stand-in for pinwait's loader at its fixed path, and how tests
// read what it saw.
//
//   calls file "mcuload-calls" in the board's directory, one line per start:
//     START_US TAB TERMINALS TAB ARGV0 TAB ARGV1 ...
//   START_US is its monotonic start time, TERMINALS the number of terminals it inherited
//   beyond descriptors 0-2: a loader started while the caller still held the serial port
//   would inherit it, and on the Pi the upload would then share the port.
// It prints "mcuload-recorder" and its arguments, as a loader prints its progress, and ends
// with the status in the environment variable kStatus (else 0).
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace bench::loader {

inline constexpr const char* kProgram = "mcuload-recorder";  // in bench::standInDir()
inline constexpr const char* kCalls = "mcuload-calls";
inline constexpr const char* kStatus = "MCULOAD_RECORDER_STATUS";

struct Call {
  std::int64_t us = 0;
  int terminals = -1;  // inherited beyond the standard streams
  std::vector<std::string> argv;
};

// Every start recorded on the board in `boardDir`, oldest first.
inline std::vector<Call> calls(const std::filesystem::path& boardDir) {
  std::vector<Call> all;
  std::ifstream in(boardDir / kCalls);
  for (std::string text; std::getline(in, text);) {
    std::istringstream fields(text);
    Call call;
    std::string field;
    std::getline(fields, field, '\t');
    call.us = std::stoll(field);
    std::getline(fields, field, '\t');
    call.terminals = std::stoi(field);
    while (std::getline(fields, field, '\t')) call.argv.push_back(field);
    all.push_back(call);
  }
  return all;
}

inline void forget(const std::filesystem::path& boardDir) { std::filesystem::remove(boardDir / kCalls); }

}  // namespace bench::loader
