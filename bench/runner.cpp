// The runner: a tool as a child in a mount namespace of its own (its view of the system is
// the run plan, runplan.h), and the parent's side while it runs: its standard streams pumped
// on a thread, its time limit, its end. A status pipe, closed by exec, carries a step of the
// plan that failed in the child back as an exception.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "bench.h"
#include "runplan.h"

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

// The strings as exec takes them; valid while `strings` stays as it is.
std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> ptrs;
  for (auto& s : strings) ptrs.push_back(s.data());
  ptrs.push_back(nullptr);
  return ptrs;
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
      // Resolved: the plan's steps follow no symbolic link.
      path = (fs::canonical(fs::temp_directory_path()) / "vboard-run.XXXXXX").string();
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

  // Outlives vboard: should the process that runs the tool die outright (SIGKILL, the OOM
  // killer, a kill of its whole group), the watcher sees its end of a socket close, removes
  // the scratch directory and kills the tool's process group, itself among them, so that
  // nothing of the run is left holding the board and its lines. A tool that ends as usual is
  // the Process's to reap: the watcher is told so first, and ends alone.
  struct Watcher {
    pid_t pid = -1;
    Fd standDown;
    Watcher() = default;
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;
    void start(pid_t group, const std::string& scratchDir) {
      int fds[2];
      if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throwErrno("socketpair");
      Fd ours(fds[0]), theirs(fds[1]);
      pid = fork();
      if (pid < 0) throwErrno("fork");
      if (pid == 0) {  // system calls only: the parent has threads
        const int fd = theirs.get();
        // In the tool's group, so that a kill of vboard's group spares it; the signals the
        // tool's group is sent, from the terminal or at the time limit, are not for it.
        setpgid(0, group);
        for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
          ::signal(sig, SIG_IGN);
        if (fd > 0) close_range(0, static_cast<unsigned>(fd) - 1, 0);  // nothing of the run's streams stays open here
        close_range(static_cast<unsigned>(fd) + 1, ~0U, 0);
        char c;
        ssize_t n;
        while ((n = ::read(fd, &c, 1)) < 0 && errno == EINTR) {
        }
        if (n == 0) rmdir(scratchDir.c_str());  // empty on the host: its mounts were the run's own
        // SIGKILL ends the watcher too, with no exit handling: a forked copy of a threaded
        // process owns nothing to release, and a leak checker would count its parent's threads'
        // memory as lost.
        kill(n == 0 ? -group : getpid(), SIGKILL);
        _exit(0);
      }
      setpgid(pid, group);  // also here, so that the group is the watcher's before anything can kill vboard's
      standDown = std::move(ours);
    }
    ~Watcher() {
      if (pid <= 0) return;
      const char c = 0;
      [[maybe_unused]] const ssize_t n = send(standDown.get(), &c, 1, MSG_NOSIGNAL);  // gone with the group, perhaps
      standDown.reset();
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  };

  Scratch scratch;
  Child child;
  Watcher watcher;  // declared after the child, so told to stand down before the tool is reaped
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

  Impl(const Board& board, RunOptions runOptions) {
    if (runOptions.argv.empty()) throw std::invalid_argument("bench: nothing to run");
    runplan::Plan plan = runplan::makePlan(board, runOptions, scratch.path);
    auto argv = pointers(plan.argv), envp = pointers(plan.env);
    timeoutMs = runOptions.timeoutMs;
    Pipe status;
    std::optional<Pipe> stdIn, stdOut, stdErr;
    if (!runOptions.inheritStdio) {
      stdIn.emplace();
      stdOut.emplace();
      stdErr.emplace();
    }
    const pid_t pid = fork();
    if (pid < 0) throwErrno("fork");
    if (pid == 0)
      runplan::runChild(plan, argv.data(), envp.data(), status.write.get(), stdIn ? stdIn->read.get() : -1,
               stdOut ? stdOut->write.get() : -1, stdErr ? stdErr->write.get() : -1);
    child.pid = pid;
    child.foreground = plan.foreground;
    setpgid(pid, pid);  // also here, so that a kill right after fork reaches the group
    status.write.reset();
    // Before the tool can start: a vboard killed at any moment of the tool's run leaves nothing.
    watcher.start(pid, scratch.path);

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
    if (runOptions.inheritStdio) {
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
    pending = std::move(runOptions.input);
    closeRequested = !runOptions.keepInputOpen;
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

  // At its time limit the tool's group is asked to end (SIGTERM), so that a tool holding a
  // line (the microcontroller's reset) can put it back; after kGraceMs it is killed.
  static constexpr int kGraceMs = 2000;

  RunResult wait() {
    if (result) return *result;
    std::int64_t deadlineUs = startUs + std::int64_t{timeoutMs} * 1000;
    while (!exited) {
      int ms = -1;
      if (timeoutMs > 0) {
        const std::int64_t left = deadlineUs - monotonicMicros();
        ms = left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
      }
      if (ms == 0) {
        if (!timedOut) {
          kill(-child.pid, SIGTERM);
          timedOut = true;
          deadlineUs = monotonicMicros() + std::int64_t{kGraceMs} * 1000;
          continue;
        }
        child.killGroup();
        observeExit(0);
        break;
      }
      if (!pidfd) {  // polled
        if (!observeExit(WNOHANG)) usleep(1000);
        continue;
      }
      pollfd p{pidfd.get(), POLLIN, 0};
      const int ready = poll(&p, 1, ms);
      if (ready < 0 && errno == EINTR) continue;
      if (ready > 0) observeExit(0);
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

Process::Process(const Board& board, RunOptions runOptions)
    : impl_(std::make_unique<Impl>(board, std::move(runOptions))), pid_(impl_->child.pid) {}

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

RunResult run(const Board& board, RunOptions runOptions) { return Process(board, std::move(runOptions)).wait(); }

}  // namespace bench
