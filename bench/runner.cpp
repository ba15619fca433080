// The runner: a tool as a child in a mount namespace of its own. Its /dev holds the usual
// nodes, the serial names asked for and the board; /home and /usr/bin are overlays in which
// the fixed outside paths are bound or absent. Nothing of this is visible on the host.
//
// The parent has threads, so between fork and exec the child may only make system calls:
// every path, message and environment string is prepared beforehand in a Plan, and the child
// runs its steps. A status pipe, closed by exec, carries a failed step back as an exception.
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <stdexcept>
#include <system_error>

#include "bench.h"

extern char** environ;

namespace fs = std::filesystem;

namespace bench {
namespace {

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), "bench: " + what);
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read, write;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throwErrno("pipe");
    read = Fd(fds[0]);
    write = Fd(fds[1]);
  }
};

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

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

Plan makePlan(const Board& board, const RunSpec& runSpec, const std::string& scratch) {
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

  for (const auto& [name, slave] : runSpec.lines) {
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
  for (const auto& [path, source] : runSpec.files) {
    if (!under(path, "/home") && !under(path, "/usr/bin"))
      throw std::invalid_argument("bench: a bound file must be in /home or /usr/bin: " + path);
    fixed.insert(path);
  }
  for (const auto& path : fixed) {
    const auto bound = runSpec.files.find(path);
    if (bound == runSpec.files.end()) {
      pathStep(Step::kRemove, "remove", path);
      continue;
    }
    for (const auto& d : dirsBetween(under(path, "/home") ? "/home" : "/usr/bin", path)) dirStep(d);
    fileStep(path);
    bindStep(bound->second.string(), path);
  }
  if (runSpec.standIns) {
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

  p.argv = runSpec.argv;
  p.runWhat = "run " + runSpec.argv[0];

  const char* callerPath = getenv("PATH");
  std::string search = toolDir().string() + ":" + (callerPath ? callerPath : "/usr/bin:/bin");
  if (runSpec.standIns) search = standInDir().string() + ":" + search;
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  // A PATH of the test's own replaces the bench's.
  std::vector<std::string> added;
  if (std::none_of(runSpec.env.begin(), runSpec.env.end(), [&](const std::string& e) { return nameOf(e) == "PATH"; }))
    added.push_back("PATH=" + search);
  // Every program of the run finds the modem-control lines of a Pi's UART on its serial lines.
  if (const std::string uartModem = BENCH_UART_MODEM; !uartModem.empty()) {
    const char* preload = getenv("LD_PRELOAD");
    added.push_back("LD_PRELOAD=" + uartModem + (preload && *preload ? ":" + std::string(preload) : ""));
  }
  added.insert(added.end(), runSpec.env.begin(), runSpec.env.end());
  std::set<std::string> addedNames;
  for (const auto& e : added) addedNames.insert(nameOf(e));
  for (char** e = environ; *e; ++e)
    if (!addedNames.count(nameOf(*e))) p.env.emplace_back(*e);
  p.env.insert(p.env.end(), added.begin(), added.end());

  p.cwd = runSpec.cwd.string();
  p.cwdWhat = "change directory to " + p.cwd;
  p.maxOpenFiles = runSpec.maxOpenFiles;
  // Under valgrind a process's own open-file limit stays valgrind's and does not pass to the
  // program it runs, so the limit is set by prlimit(1), which runs natively, just before it.
  const char* preload = getenv("LD_PRELOAD");
  if (p.maxOpenFiles && preload && strstr(preload, "/vgpreload_")) {
    p.argv.insert(p.argv.begin(), {"/usr/bin/prlimit", "--nofile=" + std::to_string(*p.maxOpenFiles) + ":", "--"});
    p.maxOpenFiles.reset();
  }
  p.uidMap = "0 " + std::to_string(getuid()) + " 1";
  p.gidMap = "0 " + std::to_string(getgid()) + " 1";
  p.inheritStdio = runSpec.inheritStdio;
  p.foreground = runSpec.inheritStdio && isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp();
  return p;
}

// The strings as exec takes them; valid while `strings` stays as it is.
std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> ptrs;
  for (auto& s : strings) ptrs.push_back(s.data());
  ptrs.push_back(nullptr);
  return ptrs;
}

// --- the child, between fork and exec: system calls only ---

void put(int fd, const char* text) {
  for (std::size_t n = strlen(text); n > 0;) {
    const ssize_t w = ::write(fd, text, n);
    if (w <= 0) return;
    text += w;
    n -= static_cast<std::size_t>(w);
  }
}

[[noreturn]] void childFail(int statusFd, const char* what, int err) {
  const char* text = strerrordesc_np(err);
  put(statusFd, "bench: cannot ");
  put(statusFd, what);
  put(statusFd, ": ");
  put(statusFd, text ? text : "unknown error");
  _exit(127);
}

bool writeProcFile(const char* path, const char* text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = ::write(fd, text, strlen(text));
  close(fd);
  return n == static_cast<ssize_t>(strlen(text));
}

int runStep(const Step& st, bool userns) {
  switch (st.kind) {
    case Step::kMount:
      // A bind ignores the type, but the call must still be given a string.
      return ::mount(st.source.c_str(), st.path.c_str(), st.type.c_str(), st.flags,
                     st.data.empty() ? nullptr : (userns ? st.usernsData : st.data).c_str());
    case Step::kDir:
      return mkdir(st.path.c_str(), 0755) == 0 || errno == EEXIST ? 0 : -1;
    case Step::kFile: {
      const int fd = open(st.path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0) return -1;
      close(fd);
      return 0;
    }
    case Step::kLink:
      return symlink(st.source.c_str(), st.path.c_str());
    case Step::kRemove:
      return unlink(st.path.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    case Step::kDetach:
      return umount2(st.path.c_str(), MNT_DETACH);
  }
  return -1;
}

[[noreturn]] void runChild(const Plan& p, char* const* argv, char** envp, int statusFd, int in, int out, int err) {
  if (setpgid(0, 0) != 0) childFail(statusFd, "make a process group", errno);
  sigset_t set;
  if (p.foreground) {
    sigemptyset(&set);
    sigaddset(&set, SIGTTOU);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    if (tcsetpgrp(STDIN_FILENO, getpid()) != 0) childFail(statusFd, "take the terminal", errno);
  }
  if (!p.inheritStdio && (dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0))
    childFail(statusFd, "set up the standard streams", errno);
  for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
  sigemptyset(&set);
  sigprocmask(SIG_SETMASK, &set, nullptr);

  bool userns = false;
  if (unshare(CLONE_NEWNS) != 0) {
    if (errno != EPERM) childFail(statusFd, "make a mount namespace", errno);
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) childFail(statusFd, "make a user and mount namespace", errno);
    if (!writeProcFile("/proc/self/setgroups", "deny") || !writeProcFile("/proc/self/uid_map", p.uidMap.c_str()) ||
        !writeProcFile("/proc/self/gid_map", p.gidMap.c_str()))
      childFail(statusFd, "map the user into its namespace", errno);
    userns = true;
  }
  if (::mount("none", "/", "", MS_REC | MS_PRIVATE, nullptr) != 0)
    childFail(statusFd, "make the mounts private", errno);
  for (const Step& st : p.steps)
    if (runStep(st, userns) != 0) childFail(statusFd, st.what.c_str(), errno);

  // Nothing in the run may set the host's clock: neither the tool nor a real date or sudo it
  // may reach. Root's programs get their powers from the bounding and inheritable sets.
  if (prctl(PR_CAPBSET_READ, CAP_SYS_TIME, 0, 0, 0) == 1 && prctl(PR_CAPBSET_DROP, CAP_SYS_TIME, 0, 0, 0) != 0)
    childFail(statusFd, "give up the power to set the clock", errno);
  __user_cap_header_struct capHead{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &capHead, caps) != 0) childFail(statusFd, "read the capabilities", errno);
  auto& word = caps[CAP_TO_INDEX(CAP_SYS_TIME)];
  word.inheritable &= ~CAP_TO_MASK(CAP_SYS_TIME);
  word.permitted &= ~CAP_TO_MASK(CAP_SYS_TIME);
  word.effective &= ~CAP_TO_MASK(CAP_SYS_TIME);
  if (syscall(SYS_capset, &capHead, caps) != 0) childFail(statusFd, "give up the power to set the clock", errno);

  if (p.maxOpenFiles) {
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = static_cast<rlim_t>(*p.maxOpenFiles);
    if (rl.rlim_max < rl.rlim_cur) rl.rlim_max = rl.rlim_cur;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) childFail(statusFd, "limit the open files", errno);
  }
  if (!p.cwd.empty() && chdir(p.cwd.c_str()) != 0) childFail(statusFd, p.cwdWhat.c_str(), errno);
  // The test's own descriptors (lines, other runs' pipes) are not the tool's.
  close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  environ = envp;  // execvp searches the tool's PATH
  execvp(argv[0], argv);
  childFail(statusFd, p.runWhat.c_str(), errno);
}

// The caller takes its terminal back once the tool is done with it.
void takeTerminalBack() {
  sigset_t set, old;
  sigemptyset(&set);
  sigaddset(&set, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &set, &old);
  tcsetpgrp(STDIN_FILENO, getpgrp());
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

struct Process::Impl {
  // Declared first, so removed last: after the child below is gone.
  struct Scratch {
    std::string path;
    Scratch() {
      path = (fs::temp_directory_path() / "vboard-run.XXXXXX").string();
      if (!mkdtemp(path.data())) throwErrno("make the scratch directory " + path);
    }
    ~Scratch() { rmdir(path.c_str()); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
  };

  // The tool. It stays unreaped until the end, so its pid and process group cannot
  // be taken by another process while this one may still signal them.
  struct Child {
    pid_t pid = -1;
    bool foreground = false;
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    void killGroup() const {
      if (pid > 0) kill(-pid, SIGKILL);
    }
    ~Child() {
      if (pid <= 0) return;
      killGroup();
      kill(pid, SIGKILL);
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      if (foreground) takeTerminalBack();
    }
  };

  Scratch scratch;
  Child child;
  Fd pidfd, in, out, err, wakeRead, wakeWrite;
  int timeoutMs = 0;
  std::int64_t startUs = 0;
  bool exited = false;
  siginfo_t info{};
  std::int64_t endUs = 0;
  bool timedOut = false;
  std::optional<RunResult> result;

  // Shared with the pump thread.
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::string outBytes, errBytes, pending;
  std::vector<std::pair<std::int64_t, std::string>> outChunks;
  bool outEnded = false, errEnded = false, closeRequested = false, inputGone = false, finish = false, pumpDone = false;
  std::thread pump;

  Impl(const Board& board, RunSpec runSpec) {
    if (runSpec.argv.empty()) throw std::invalid_argument("bench: nothing to run");
    Plan plan = makePlan(board, runSpec, scratch.path);
    auto argv = pointers(plan.argv), envp = pointers(plan.env);
    timeoutMs = runSpec.timeoutMs;
    Pipe status;
    std::optional<Pipe> stdIn, stdOut, stdErr;
    if (!runSpec.inheritStdio) {
      stdIn.emplace();
      stdOut.emplace();
      stdErr.emplace();
    }
    const pid_t pid = fork();
    if (pid < 0) throwErrno("fork");
    if (pid == 0)
      runChild(plan, argv.data(), envp.data(), status.write.get(), stdIn ? stdIn->read.get() : -1,
               stdOut ? stdOut->write.get() : -1, stdErr ? stdErr->write.get() : -1);
    child.pid = pid;
    child.foreground = plan.foreground;
    setpgid(pid, pid);  // also here, so that a kill right after fork reaches the group
    status.write.reset();

    std::string failure;
    char buf[512];
    for (ssize_t n; (n = read(status.read.get(), buf, sizeof buf)) != 0;) {
      if (n > 0)
        failure.append(buf, static_cast<std::size_t>(n));
      else if (errno != EINTR)
        break;
    }
    if (!failure.empty()) throw std::runtime_error(failure);
    startUs = monotonicMicros();
    // Without pidfds (kernels before 5.3, or under valgrind) wait() polls instead.
    pidfd = Fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!pidfd && errno != ENOSYS) throwErrno("pidfd_open");
    if (runSpec.inheritStdio) {
      pumpDone = true;
      return;
    }
    in = std::move(stdIn->write);
    out = std::move(stdOut->read);
    err = std::move(stdErr->read);
    for (int fd : {in.get(), out.get(), err.get()}) setNonBlocking(fd);
    Pipe wake;
    wakeRead = std::move(wake.read);
    wakeWrite = std::move(wake.write);
    setNonBlocking(wakeRead.get());
    setNonBlocking(wakeWrite.get());
    pending = std::move(runSpec.input);
    closeRequested = !runSpec.keepInputOpen;
    pump = std::thread(&Impl::pumpLoop, this);
  }

  ~Impl() {
    child.killGroup();
    stopPump();
  }

  void wake() const {
    const char c = 0;
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite.get(), &c, 1);
  }

  void stopPump() {
    if (!pump.joinable()) return;
    {
      std::lock_guard lock(mutex);
      finish = true;
    }
    wake();
    pump.join();
  }

  // Reads what is there; false at the end of the stream.
  bool readSome(int fd, bool isOut) {
    char buf[65536];
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return true;
      if (n <= 0) return false;
      const std::int64_t now = monotonicMicros();
      std::lock_guard lock(mutex);
      if (isOut) {
        outBytes.append(buf, static_cast<std::size_t>(n));
        outChunks.emplace_back(now, std::string(buf, static_cast<std::size_t>(n)));
      } else {
        errBytes.append(buf, static_cast<std::size_t>(n));
      }
      changed.notify_all();
    }
  }

  void readStream(int fd, bool isOut) {
    if (readSome(fd, isOut)) return;
    std::lock_guard lock(mutex);
    (isOut ? outEnded : errEnded) = true;
    changed.notify_all();
  }

  void writeInput() {
    std::unique_lock lock(mutex);
    const ssize_t n = ::write(in.get(), pending.data(), pending.size());
    if (n >= 0) {
      pending.erase(0, static_cast<std::size_t>(n));
    } else if (errno != EAGAIN && errno != EINTR) {
      pending.clear();  // the tool closed its input: nothing more reaches it
      inputGone = true;
    }
  }

  void pumpLoop() {
    // A tool that closes its input gives EPIPE here, not a signal for the whole test.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    for (;;) {
      pollfd fds[4];
      nfds_t n = 0;
      {
        std::lock_guard lock(mutex);
        if (finish) break;
        if (in && (inputGone || (pending.empty() && closeRequested))) in.reset();
        fds[n++] = {wakeRead.get(), POLLIN, 0};
        if (!outEnded) fds[n++] = {out.get(), POLLIN, 0};
        if (!errEnded) fds[n++] = {err.get(), POLLIN, 0};
        if (in && !pending.empty()) fds[n++] = {in.get(), POLLOUT, 0};
      }
      if (poll(fds, n, -1) < 0) continue;
      for (nfds_t i = 0; i < n; ++i) {
        if (!fds[i].revents) continue;
        if (fds[i].fd == wakeRead.get()) {
          char buf[64];
          while (read(wakeRead.get(), buf, sizeof buf) > 0) {
          }
        } else if (fds[i].fd == out.get()) {
          readStream(out.get(), true);
        } else if (fds[i].fd == err.get()) {
          readStream(err.get(), false);
        } else {
          writeInput();
        }
      }
    }
    // The tool has ended: what it wrote is all in the pipes. Whatever it left running
    // may keep them open, so read what is there rather than wait for their end.
    if (!outEnded) readStream(out.get(), true);
    if (!errEnded) readStream(err.get(), false);
    std::lock_guard lock(mutex);
    pumpDone = true;
    changed.notify_all();
  }

  bool observeExit(int options) {
    siginfo_t si{};
    while (waitid(P_PID, static_cast<id_t>(child.pid), &si, WEXITED | WNOWAIT | options) != 0)
      if (errno != EINTR) throwErrno("waitid");
    if (si.si_pid != child.pid) return false;
    exited = true;
    info = si;
    endUs = monotonicMicros();
    return true;
  }

  RunResult wait() {
    if (result) return *result;
    while (!exited) {
      int ms = -1;
      if (timeoutMs > 0) {
        const std::int64_t left = startUs + std::int64_t{timeoutMs} * 1000 - monotonicMicros();
        ms = left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
      }
      if (!pidfd) {
        if (observeExit(WNOHANG)) break;
        if (ms == 0) {
          child.killGroup();
          timedOut = true;
          observeExit(0);
        } else {
          usleep(1000);
        }
        continue;
      }
      pollfd p{pidfd.get(), POLLIN, 0};
      const int ready = poll(&p, 1, ms);
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) {
        child.killGroup();
        timedOut = true;
      }
      observeExit(0);
    }
    stopPump();
    if (child.foreground) takeTerminalBack();
    RunResult r;
    {
      std::lock_guard lock(mutex);
      r.out = outBytes;
      r.err = errBytes;
      r.outChunks = outChunks;
    }
    if (info.si_code == CLD_EXITED)
      r.status = info.si_status;
    else
      r.signal = info.si_status;
    r.timedOut = timedOut;
    r.startUs = startUs;
    r.endUs = endUs;
    r.seconds = static_cast<double>(endUs - startUs) / 1e6;
    result = r;
    return r;
  }
};

Process::Process(const Board& board, RunSpec runSpec)
    : impl_(std::make_unique<Impl>(board, std::move(runSpec))), pid_(impl_->child.pid) {}

Process::~Process() = default;

void Process::write(const std::string& bytes) {
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->closeRequested) throw std::logic_error("bench: standard input is already closed");
    if (!impl_->inputGone) impl_->pending += bytes;
  }
  impl_->wake();
}

void Process::closeInput() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->closeRequested = true;
  }
  impl_->wake();
}

void Process::signal(int sig) { kill(pid_, sig); }

bool Process::running() { return !impl_->exited && !impl_->observeExit(WNOHANG); }

std::string Process::out() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->outBytes;
}

bool Process::waitOutput(const std::string& needle, int timeoutMs) const {
  std::unique_lock lock(impl_->mutex);
  impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return impl_->outBytes.find(needle) != std::string::npos || impl_->outEnded || impl_->pumpDone;
  });
  return impl_->outBytes.find(needle) != std::string::npos;
}

RunResult Process::wait() { return impl_->wait(); }

RunResult run(const Board& board, RunSpec runSpec) { return Process(board, std::move(runSpec)).wait(); }

}  // namespace bench
