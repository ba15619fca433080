// How vboard bench takes its figures: every run on a scratch board, with fresh lines and a
// scripted sketch on them, as many times as --runs says, and the groups of measurements that
// make the table's rows, one file each:
//
//   timing.cpp      every wait the tools fix, against the length it should have
//   versus_c.cpp    the serial tools' overhead and throughput, against the minimal C program
//   resources.cpp   idle CPU time and footprint
//   ../perf.cpp     the groups in the table's order, the verdicts, the command line
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bench.h"
#include "table.h"

namespace perf {

using bench::Board;
using bench::msBetween;
using bench::RunResult;
using bench::RunOptions;
using bench::SketchPeer;

inline const std::filesystem::path kHelperDir = PERF_HELPER_DIR;  // minimal_query and peak_rss
inline constexpr std::size_t kMiB = 1 << 20;
inline constexpr int kRunMs = 20000;  // a run's time limit, unless it says otherwise

// How a run ended and the start of what it printed, for the message when a figure fails.
std::string said(const RunResult& r);
RunOptions runOptions(std::vector<std::string> argv, int timeoutMs = kRunMs);

using Script = std::function<void(SketchPeer&)>;
void silent(SketchPeer&);
void linkTest(SketchPeer& p);  // answers "?" with "LinkTest" and CR LF

struct Exchange {
  RunResult run;
  std::vector<SketchPeer::Received> heard;  // what the sketch read, and when
  std::vector<std::int64_t> sent;           // when each piece of the sketch's went out
  std::string heardBytes;
};
// Runs `s` with `device` bound to a fresh line, on whose far side a sketch follows `script`.
Exchange exchange(const Board& board, RunOptions s, const std::string& device, const Script& script);

// The board's trace events `op` on `pin`.
std::vector<simboard::TraceEvent> events(const Board& board, const std::string& op, int pin);
// The reset line's levels as the tool wrote them: low, high, low.
std::vector<simboard::TraceEvent> pulse(const Board& board, const std::string& tool);
// A group signal: it reaches the tool also when a helper runs it.
void stopGroup(const bench::Process& p);
bool windowUp(const Board& board);
// termbridge's run, with the recording window at xterm's path.
RunOptions bridgeOptions(std::vector<std::string> argv);
// CPU time the process has used, in nanoseconds.
std::int64_t cpuNs(pid_t pid);

// `n` runs of `sample`, which gives the same figures each time: one series per figure.
using Figures = std::vector<std::vector<double>>;
Figures repeat(int n, const std::function<std::vector<double>()>& sample);
// `n` runs each of the tool and of the C program, in turns: one series per figure of each.
std::pair<Figures, Figures> inTurns(int n, const std::function<std::vector<double>()>& tool,
                                    const std::function<std::vector<double>()>& c);

class Perf {
 public:
  Perf(int runs, bool quick, bool check) : runs_(runs), quick_(quick), check_(check) {}
  int run();  // prints the table; what benchCommand returns

 private:
  static void note(const std::string& what);
  // A group of rows; if a figure of it cannot be taken, one row says why, and the rest go on.
  void section(const std::string& name, const std::function<void()>& body);
  void add(Row r) { rows_.push_back(std::move(r)); }

  void timing();
  void overhead();
  void throughput();
  void idle();
  void footprint();

  int runs_;
  bool quick_;
  bool check_;
  bool failed_ = false;
  std::vector<Row> rows_;
};

}  // namespace perf
