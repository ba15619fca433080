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
#include <climits>

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

// The folder that holds `path`, reached without following a symbolic link, and the name in it.
// A step never follows one: a link among the fixed paths' folders could lead out of the run's
// own mounts, where making or removing a file would change the host.
int openParent(const std::string& path, const char** name) {
  char dir[PATH_MAX];
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash >= sizeof dir) {
    errno = EINVAL;
    return -1;
  }
  memcpy(dir, path.data(), slash);
  dir[slash] = '\0';
  if (slash == 0) strcpy(dir, "/");
  *name = path.c_str() + slash + 1;
  // Folder by folder, each opened with O_NOFOLLOW (a link fails with ENOTDIR): what openat2's
  // RESOLVE_NO_SYMLINKS does, which neither valgrind nor qemu's user mode knows. The first by
  // its absolute name: qemu's user mode looks "/" up under its library prefix.
  int fd = AT_FDCWD;
  for (char* part = dir;;) {
    char* const start = part;
    while (*part == '/') ++part;
    if (*part == '\0') break;
    char* end = part;
    while (*end != '\0' && *end != '/') ++end;
    const char after = *end;
    *end = '\0';
    const int next = openat(fd, fd == AT_FDCWD ? start : part, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int err = errno;
    if (fd != AT_FDCWD) close(fd);
    errno = err;
    fd = next;
    *end = after;
    part = end;
    if (fd < 0) return -1;
  }
  return fd == AT_FDCWD ? open("/", O_PATH | O_DIRECTORY | O_CLOEXEC) : fd;
}

int pathStep(const Step& st, int dir, const char* name) {
  switch (st.kind) {
    case Step::kDir: {
      if (mkdirat(dir, name, 0755) == 0) return 0;
      if (errno != EEXIST) return -1;
      struct stat s {};
      if (fstatat(dir, name, &s, AT_SYMLINK_NOFOLLOW) != 0) return -1;
      errno = ENOTDIR;
      return S_ISDIR(s.st_mode) ? 0 : -1;
    }
    case Step::kFile: {
      int fd = openat(dir, name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd < 0 && errno == ELOOP && unlinkat(dir, name, 0) == 0)  // a link there goes: the file is the run's
        fd = openat(dir, name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd < 0) return -1;
      close(fd);
      return 0;
    }
    case Step::kLink:
      return symlinkat(st.source.c_str(), dir, name);
    case Step::kRemove:
      return unlinkat(dir, name, 0) == 0 || errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    default:
      errno = EINVAL;
      return -1;
  }
}

int runStep(const Step& st, bool userns) {
  switch (st.kind) {
    case Step::kMount:
      // A bind ignores the type, but the call must still be given a string. A step before made
      // each mount point of /home and /usr/bin without following a link.
      return ::mount(st.source.c_str(), st.path.c_str(), st.type.c_str(), st.flags,
                     st.data.empty() ? nullptr : (userns ? st.usernsData : st.data).c_str());
    case Step::kDetach:
      return umount2(st.path.c_str(), MNT_DETACH);
    default: {
      const char* name = nullptr;
      const int dir = openParent(st.path, &name);
      if (dir < 0) return st.kind == Step::kRemove && errno == ENOENT ? 0 : -1;
      const int rc = pathStep(st, dir, name);
      const int saved = errno;
      close(dir);
      errno = saved;
      return rc;
    }
  }
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
