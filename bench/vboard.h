// vboard's parts (see `vboard --help`): its command line and the board's own commands
// (vboard.cpp), a tool run on the board (vboard_run.cpp), the board's microcontroller
// (vboard_mcu.cpp), and the measurements (perf.h).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

// --- the command line ---
[[noreturn]] void usage(const std::string& why);  // says why and how to get help; status 2
// A number within [lo, hi], else a usage error that says what `what` takes.
int numberIn(const std::string& s, int lo, int hi, const std::string& what);
std::vector<std::string> split(const std::string& s, char sep);  // the parts that are not empty
std::string unescape(const std::string& s);  // the C escapes of --answer: \r \n \t \\ \xHH
std::string escape(const std::string& s);    // bytes as printable text, for what tools sent

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
