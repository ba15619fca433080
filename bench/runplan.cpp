// The run plan, made before the fork: see runplan.h.
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "runplan.h"

extern char** environ;

namespace fs = std::filesystem;

namespace bench::runplan {
namespace {

// The directories strictly between `base` and `path`, outermost first.
std::vector<std::string> dirsBetween(const fs::path& base, const fs::path& path) {
  std::vector<std::string> dirs;
  fs::path dir = base;
  const fs::path rel = path.parent_path().lexically_relative(base);
  for (const auto& part : rel) {
    if (part == ".") continue;
    dir /= part;
    dirs.push_back(dir.string());
  }
  return dirs;
}

// Where a run with the stand-ins keeps the system's own date, for the date stand-in.
constexpr const char* kSystemDate = "/usr/bin/date.distrib";

bool under(const fs::path& path, const fs::path& dir) {
  const fs::path rel = path.lexically_normal().lexically_relative(dir);
  return !rel.empty() && *rel.begin() != ".." && *rel.begin() != ".";
}

}  // namespace

Plan makePlan(const Board& board, const RunOptions& runOptions, const std::string& scratch) {
  Plan p;
  auto mountStep = [&p](const std::string& source, const std::string& path, const std::string& type,
                        unsigned long flags, const std::string& data, const std::string& what) {
    p.steps.push_back({Step::kMount, what, path, source, type, flags, data, data});
  };
  auto bindStep = [&](const std::string& source, const std::string& path, unsigned long rec = 0) {
    mountStep(source, path, "", MS_BIND | rec, "", "bind " + source + " onto " + path);
  };
  auto pathStep = [&p](Step::Kind kind, const std::string& what, const std::string& path,
                       const std::string& source = "") {
    p.steps.push_back({kind, what + " " + path, path, source, "", 0, "", ""});
  };
  auto dirStep = [&](const std::string& path) { pathStep(Step::kDir, "make the directory", path); };
  auto fileStep = [&](const std::string& path) { pathStep(Step::kFile, "make the file", path); };
  auto linkStep = [&](const std::string& target, const std::string& path) {
    pathStep(Step::kLink, "make the symlink", path, target);
  };

  // The host's /dev stays reachable on the side while the private one is filled.
  const std::string side = scratch + "/dev";
  mountStep("tmpfs", scratch, "tmpfs", 0, "mode=0755", "mount a tmpfs on " + scratch);
  dirStep(side);
  bindStep("/dev", side, MS_REC);
  mountStep("tmpfs", "/dev", "tmpfs", 0, "mode=0755", "mount a tmpfs on /dev");
  for (const char* node : {"null", "zero", "full", "tty", "random", "urandom"}) {
    fileStep(std::string("/dev/") + node);
    bindStep(side + "/" + node, std::string("/dev/") + node);
  }
  dirStep("/dev/pts");
  bindStep(side + "/pts", "/dev/pts");
  linkStep("pts/ptmx", "/dev/ptmx");
  linkStep("/proc/self/fd", "/dev/fd");
  linkStep("/proc/self/fd/0", "/dev/stdin");
  linkStep("/proc/self/fd/1", "/dev/stdout");
  linkStep("/proc/self/fd/2", "/dev/stderr");

  for (const auto& [name, slave] : runOptions.lines) {
    if (!under(name, "/dev")) throw std::invalid_argument("bench: a serial name must be in /dev: " + name);
    for (const auto& d : dirsBetween("/dev", name)) dirStep(d);
    fileStep(name);
    const std::string normal = fs::path(slave).lexically_normal().string();
    bindStep(under(normal, "/dev") ? side + normal.substr(4) : slave, name);
  }
  dirStep(simboard::kBoardPath);
  bindStep(board.dir().string(), simboard::kBoardPath);

  const std::vector<std::pair<std::string, std::string>> overlays = {{"/home", "home"}, {"/usr/bin", "bin"}};
  for (const auto& [root, tag] : overlays) {
    const std::string upper = scratch + "/" + tag + ".upper", work = scratch + "/" + tag + ".work";
    dirStep(upper);
    dirStep(work);
    const std::string data = "lowerdir=" + root + ",upperdir=" + upper + ",workdir=" + work;
    p.steps.push_back(
        {Step::kMount, "mount an overlay on " + root, root, "overlay", "overlay", 0, data, data + ",userxattr"});
  }
  std::set<std::string> fixed(kFixedPaths.begin(), kFixedPaths.end());
  for (const auto& [path, source] : runOptions.files) {
    if (!under(path, "/home") && !under(path, "/usr/bin"))
      throw std::invalid_argument("bench: a bound file must be in /home or /usr/bin: " + path);
    fixed.insert(path);
  }
  for (const auto& path : fixed) {
    const auto bound = runOptions.files.find(path);
    if (bound == runOptions.files.end()) {
      pathStep(Step::kRemove, "remove", path);
      continue;
    }
    for (const auto& d : dirsBetween(under(path, "/home") ? "/home" : "/usr/bin", path)) dirStep(d);
    fileStep(path);
    bindStep(bound->second.string(), path);
  }
  if (runOptions.standIns) {
    // The stand-ins also take the place of the system's sudo and date, for a tool that sets
    // its own PATH (env -i, a shell's default one). The real date stays at kSystemDate, where
    // the date stand-in finds it to tell the time.
    const fs::path realDate = fs::exists("/usr/bin/date") ? "/usr/bin/date" : "/bin/date";
    if (fs::exists(realDate)) {
      fileStep(kSystemDate);
      bindStep(realDate.string(), kSystemDate);
    }
    for (const char* name : {"sudo", "date"}) {
      const std::string standIn = (standInDir() / name).string(), usrBin = std::string("/usr/bin/") + name;
      fileStep(usrBin);
      bindStep(standIn, usrBin);
      std::error_code ec;
      for (const char* dir : {"/bin", "/sbin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin"}) {
        const fs::path other = fs::path(dir) / name;
        if (fs::exists(other, ec) && !fs::equivalent(other, usrBin, ec)) bindStep(standIn, other.string());
      }
    }
  }
  // Gone from the tool's view; the overlays keep their own hold on the upper directories.
  pathStep(Step::kDetach, "detach", scratch);

  p.argv = runOptions.argv;
  p.runWhat = "run " + runOptions.argv[0];

  const char* callerPath = getenv("PATH");
  std::string search = toolDir().string() + ":" + (callerPath ? callerPath : "/usr/bin:/bin");
  if (runOptions.standIns) search = standInDir().string() + ":" + search;
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  // A PATH of the test's own replaces the bench's.
  std::vector<std::string> added;
  if (std::none_of(runOptions.env.begin(), runOptions.env.end(), [&](const std::string& e) { return nameOf(e) == "PATH"; }))
    added.push_back("PATH=" + search);
  // Every program of the run finds the modem-control lines of a Pi's UART on its serial lines.
  if (const std::string uartModem = BENCH_UART_MODEM; !uartModem.empty()) {
    const char* preload = getenv("LD_PRELOAD");
    added.push_back("LD_PRELOAD=" + uartModem + (preload && *preload ? ":" + std::string(preload) : ""));
  }
  added.insert(added.end(), runOptions.env.begin(), runOptions.env.end());
  std::set<std::string> addedNames;
  for (const auto& e : added) addedNames.insert(nameOf(e));
  for (char** e = environ; *e; ++e)
    if (!addedNames.count(nameOf(*e))) p.env.emplace_back(*e);
  p.env.insert(p.env.end(), added.begin(), added.end());

  p.cwd = runOptions.cwd.string();
  p.cwdWhat = "change directory to " + p.cwd;
  p.maxOpenFiles = runOptions.maxOpenFiles;
  // Under valgrind a process's own open-file limit stays valgrind's and does not pass to the
  // program it runs, so the limit is set by prlimit(1), which runs natively, just before it.
  const char* preload = getenv("LD_PRELOAD");
  if (p.maxOpenFiles && preload && strstr(preload, "/vgpreload_")) {
    p.argv.insert(p.argv.begin(), {"/usr/bin/prlimit", "--nofile=" + std::to_string(*p.maxOpenFiles) + ":", "--"});
    p.maxOpenFiles.reset();
  }
  p.uidMap = "0 " + std::to_string(getuid()) + " 1";
  p.gidMap = "0 " + std::to_string(getgid()) + " 1";
  p.inheritStdio = runOptions.inheritStdio;
  p.foreground = runOptions.inheritStdio && isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp();
  return p;
}

}  // namespace bench::runplan
