// vboard's parts (see `vboard --help`): its command line (vboard.cpp), the board's own
// commands (vboard_board.cpp), a tool run on the board (vboard_run.cpp), the board's
// microcontroller (vboard_mcu.cpp), and the measurements (perf.h).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bench.h"

namespace vboard {

// --- the command line ---
[[noreturn]] void usage(const std::string& why);  // says why and how to get help; status 2
int number(const std::string& s, int base = 10);  // else a usage error
// A number within [lo, hi], else a usage error that says what `what` takes.
int numberIn(const std::string& s, int lo, int hi, const std::string& what);
std::vector<std::string> split(const std::string& s, char sep);  // the parts that are not empty
std::string unescape(const std::string& s);  // the C escapes of --answer: \r \n \t \\ \xHH
std::string escape(const std::string& s);    // bytes as printable text, for what tools sent

// --- the board's own parts ---
int rtc(bench::Board board, const std::vector<std::string>& args);   // rtc show|set|regs|FAULT...
int gpio(bench::Board board, const std::vector<std::string>& args);  // gpio set|clear|show|deny|allow
int trace(bench::Board board, const std::vector<std::string>& args);  // trace [--clear]
int commands(bench::Board board);  // the stand-ins' records

// --- run [OPTIONS] -- TOOL [ARGS...] ---
int runTool(const std::filesystem::path& boardDir, std::vector<std::string> args);

// --- the board's microcontroller ---
struct RunningChip {
  pid_t pid = -1;
  std::string port;
};
std::optional<RunningChip> runningChip(const std::filesystem::path& boardDir);
int mcu(const std::filesystem::path& boardDir, const std::vector<std::string>& args);  // mcu start|stop|log
int mcuControl(const std::filesystem::path& boardDir, const std::string& line);        // pin, adc

}  // namespace vboard
