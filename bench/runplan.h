// The run plan: a tool's private view of the system, prepared before the fork (runplan.cpp),
// and the child that builds it and starts the tool between fork and exec (runchild.cpp).
//
//   makePlan(board, options, scratch)    every step, path, message and environment string of a run
//   runChild(plan, argv, envp, ...)   the child's part: its namespaces, mounts, powers, limits, exec
//
// The parent has threads, so between fork and exec the child may only make system calls: all
// it needs is in the Plan, and a failed step goes back to the parent through `statusFd`, which
// exec closes. Its /dev holds the usual nodes, the serial names asked for and the board; /home
// and /usr/bin are overlays in which the fixed outside paths are bound or absent. A folder on
// their way that is a symbolic link on the host (a home on another disk) becomes an overlay of
// what it leads to, and no step that makes or removes a path follows a link, so that nothing
// of this reaches the host or is visible there.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench.h"

namespace bench::runplan {

// One thing the child does to build its view of the system.
struct Step {
  enum Kind { kMount, kDir, kFile, kLink, kRemove, kDetach } kind;
  std::string what;  // for the message when it fails
  std::string path;
  std::string source;  // what is mounted or linked
  std::string type;
  unsigned long flags = 0;
  std::string data;
  std::string usernsData;  // overlay needs its own xattrs inside a user namespace
};

struct Plan {
  std::vector<Step> steps;
  std::vector<std::string> argv, env;
  std::string runWhat, cwd, cwdWhat, uidMap, gidMap;
  std::optional<int> maxOpenFiles;
  bool inheritStdio = false;
  bool foreground = false;  // the tool takes the caller's terminal
};

// `scratch`: an empty directory of the host's for the run's own mounts, gone from its view.
Plan makePlan(const Board& board, const RunOptions& runOptions, const std::string& scratch);

// Builds the run's view as `p` says and execs `argv` with `envp`; standard streams from `in`,
// `out` and `err` unless the plan inherits them. Never returns: on a failed step it writes
// "bench: cannot ..." on `statusFd` and ends with status 127.
[[noreturn]] void runChild(const Plan& p, char* const* argv, char** envp, int statusFd, int in, int out, int err);

}  // namespace bench::runplan
