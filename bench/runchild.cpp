// The child of a run, between fork and exec: system calls only (see runplan.h).
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "runplan.h"

extern char** environ;

namespace bench::runplan {
namespace {

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

}  // namespace

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

}  // namespace bench::runplan
