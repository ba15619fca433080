// The programmer fixture, for the tests of the uploaders and the bench's measurements of them:
// a scratch board, a working directory holding a sketch file, and the recording programmer
// (standins/avrdude-recorder.h) at avrdude's fixed path, planned to end at once with status 0.
//
//   recorded(options)       `options` with the recording programmer bound at avrdude's path
//   Fixture                 the board, the working directory and the plan
//     uploadOptions(argv)   a run of argv in the working directory, with the recording programmer
//     upload(options)       the run, its trace and the programmer's record cleared first
//     uploads()             the programmer's starts recorded since, oldest first
#pragma once

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "bench.h"
#include "standins/avrdude-recorder.h"

namespace bench::programmer {

// The smallest sketch a programmer takes: one record and the end.
inline constexpr const char* kHex = ":100000000C9434000C943E000C943E000C943E0082\n:00000001FF\n";
inline constexpr const char* kSketchFile = "file.hex";  // in the fixture's working directory

inline RunOptions recorded(RunOptions options) {
  bindStandIn(options, kAvrdude);
  return options;
}

class Fixture {
 public:
  Fixture() {
    std::ofstream(work.path() / kSketchFile) << kHex;
    plan(board->dir(), 0, 0);
  }

  RunOptions uploadOptions(std::vector<std::string> argv) const {
    RunOptions options;
    options.argv = std::move(argv);
    options.cwd = work.path();
    return recorded(std::move(options));
  }
  RunResult upload(RunOptions options) {
    board->clearTrace();
    forget(board->dir());
    return run(*board, std::move(options));
  }
  std::vector<Run> uploads() const { return runs(board.get().dir()); }

  TempDir work;
  ScratchBoard board;
};

}  // namespace bench::programmer
