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

  // Each overlay's upper and work directories are the run's, in its scratch tmpfs.
  auto overlayStep = [&](const std::string& lower, const std::string& path, const std::string& tag) {
    const std::string upper = scratch + "/" + tag + ".upper", work = scratch + "/" + tag + ".work";
    dirStep(upper);
    dirStep(work);
    const std::string data = "lowerdir=" + lower + ",upperdir=" + upper + ",workdir=" + work;
    p.steps.push_back(
        {Step::kMount, "mount an overlay on " + path, path, "overlay", "overlay", 0, data, data + ",userxattr"});
  };
  // The roots as the host resolves them (/home may be a link, to /var/home say): the steps
  // below follow no link.
  std::error_code ec;
  auto resolved = [&ec](const fs::path& dir) {
    const fs::path real = fs::canonical(dir, ec);
    return ec ? dir : real;
  };
  const fs::path home = resolved("/home"), usrBin = resolved("/usr/bin");
  overlayStep(home.string(), home.string(), "home");
  overlayStep(usrBin.string(), usrBin.string(), "bin");
  auto inView = [&](const fs::path& path) {
    return under(path, "/home") ? home / path.lexically_relative("/home") : usrBin / path.lexically_relative("/usr/bin");
  };

  // The folders of `path` in the run: made where missing (`make`), and where one is a symbolic
  // link on the host (a home on a second disk) it becomes a folder of the run's own holding an
  // overlay of what the link leads to, so that making or removing a file in it never reaches
  // the host. False when `path`'s folder does not exist on the host and nothing is made.
  std::set<std::string> owned;
  int linkOverlays = 0;
  auto ownFolders = [&](const fs::path& root, const fs::path& path, bool make) {
    fs::path view = root, host = root;  // the folder in the run, and where its files come from
    bool onHost = true;
    for (const auto& part : path.parent_path().lexically_relative(root)) {
      view /= part;
      const bool first = !owned.count(view.string());
      const auto st = onHost ? fs::symlink_status(host / part, ec) : fs::file_status(fs::file_type::not_found);
      if (fs::is_symlink(st)) {
        const fs::path target = fs::canonical(host / part, ec);
        onHost = !ec && fs::is_directory(target);
        if (!onHost && !make) return false;
        if (first) {
          owned.insert(view.string());
          pathStep(Step::kRemove, "remove the symlink", view.string());
          dirStep(view.string());
          if (onHost) overlayStep(target.string(), view.string(), "link" + std::to_string(++linkOverlays));
        }
        host = target;
        continue;
      }
      onHost = fs::is_directory(st);
      if (!onHost && !make) return false;
      if (first) {
        owned.insert(view.string());
        dirStep(view.string());
      }
      host /= part;
    }
    return true;
  };

  std::set<std::string> fixed(kFixedPaths.begin(), kFixedPaths.end());
  for (const auto& [path, source] : runOptions.files) {
    if (!under(path, "/home") && !under(path, "/usr/bin"))
      throw std::invalid_argument("bench: a bound file must be in /home or /usr/bin: " + path);
    fixed.insert(path);
  }
  for (const auto& path : fixed) {
    const fs::path view = inView(fs::path(path).lexically_normal());
    const fs::path root = under(view, home) ? home : usrBin;
    const auto bound = runOptions.files.find(path);
    if (bound == runOptions.files.end()) {
      if (ownFolders(root, view, false)) pathStep(Step::kRemove, "remove", view.string());
      continue;
    }
    ownFolders(root, view, true);
    fileStep(view.string());
    bindStep(bound->second.string(), view.string());
  }
  if (runOptions.standIns) {
    // The stand-ins also take the place of the system's sudo and date, for a tool that sets
    // its own PATH (env -i, a shell's default one). The real date stays at kSystemDate, where
    // the date stand-in finds it to tell the time.
    const fs::path realDate = fs::exists("/usr/bin/date") ? "/usr/bin/date" : "/bin/date";
    if (fs::exists(realDate)) {
      fileStep(inView(kSystemDate).string());
      bindStep(realDate.string(), inView(kSystemDate).string());
    }
    for (const char* name : {"sudo", "date"}) {
      const std::string standIn = (standInDir() / name).string(), system = (usrBin / name).string();
      fileStep(system);
      bindStep(standIn, system);
      for (const char* dir : {"/bin", "/sbin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin"}) {
        const fs::path other = fs::path(dir) / name;
        if (fs::exists(other, ec) && !fs::equivalent(other, system, ec)) bindStep(standIn, other.string());
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
