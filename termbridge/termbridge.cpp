// termbridge: an xterm window on a pseudo-terminal, joined line by line to our own
// standard streams. The window holds the master side, we keep the slave.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "help.h"
#include "stdfds.h"

namespace {

// Cleared by the signals that end the bridge: it then leaves through exit, so the exit
// handler closes the window and gives standard input its flags back.
volatile std::sig_atomic_t frun = 1;
volatile std::sig_atomic_t stopsig = 0;
int fdwin = 0;
// The window's two directions, each a stream of its own: one stream that both reads and
// writes a terminal fails for good once a long line has been read from it and glibc tries
// to seek back before the next write.
std::FILE* fpwin = nullptr;    // to the window, on fdwin
std::FILE* fpwinin = nullptr;  // from the window, on a dup of fdwin
char buff[512];
int pidc = -1;
const useconds_t timeout = 50000;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
int stdinflags = -1;  // as we found them, given back on the way out

void closeConsole(int fds, std::FILE* out, std::FILE* in, int pid) {
  if (in) std::fclose(in);
  if (out)
    std::fclose(out);
  else if (fds > 0)
    close(fds);
  if (pid > 0) kill(pid, SIGKILL);
}

void end() {
  // The calling shell must not be left with a non-blocking terminal.
  if (stdinflags != -1) fcntl(STDIN_FILENO, F_SETFL, stdinflags);
  closeConsole(fdwin, fpwin, fpwinin, pidc);
}

void stop(int sig) {
  stopsig = sig;
  frun = 0;
}

void setnoblock(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

[[nodiscard]] bool failed(const char* what) {
  const int err = errno;
  std::printf("%s: %d - %.100s\n", what, err, std::strerror(err));
  return false;
}

bool openConsole(int* fds, int* pid) {
  int fdm = -1;
  if (openpty(&fdm, fds, nullptr, nullptr, nullptr) != 0) return failed("openpty");
  fpwin = fdopen(*fds, "w");
  if (!fpwin) return failed("open I/O");
  const int in = fcntl(*fds, F_DUPFD_CLOEXEC, 0);
  fpwinin = in < 0 ? nullptr : fdopen(in, "r");
  if (!fpwinin) {
    const int err = errno;
    if (in >= 0) close(in);
    errno = err;
    return failed("open I/O");
  }
  char trm[10];
  std::snprintf(trm, sizeof trm, "-Sxx%d", fdm);
  const pid_t bridge = getpid();
  const pid_t child = fork();
  if (child < 0) return failed("fork");
  if (child == 0) {
    close(*fds);
    // The window ends with the bridge, whatever ends the bridge, a SIGKILL included.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != bridge) _exit(255);  // the bridge ended before the request took hold
    execl("/usr/bin/xterm", "xterm", trm, "-T", "Console", static_cast<char*>(nullptr));
    const int err = errno;
    // Straight to the descriptor and out: the bridge's buffered output and its exit
    // handler belong to the bridge, not to this copy of it.
    dprintf(STDOUT_FILENO, "xterm: %d - %.100s\n", err, std::strerror(err));
    _exit(255);
  }
  *pid = child;
  close(fdm);
  return true;
}

// The window program has gone, so the master side is closed: the slave reports a hang-up.
bool windowGone() {
  pollfd p{fdwin, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

// Passes 50 ms apart, each moving at most one line each way. After a pass that found nothing
// to move, the bridge sleeps in poll() until either side has a line, or the window goes,
// rather than looking again every 50 ms. The stop signals are held back but in those sleeps,
// so that one that comes during a pass ends the next sleep instead of being lost before it.
void loop() {
  sigset_t stops, open;
  sigemptyset(&stops);
  for (int sig : kStopSignals) sigaddset(&stops, sig);
  sigprocmask(SIG_BLOCK, &stops, &open);
  const timespec pause{0, static_cast<long>(timeout) * 1000};
  pollfd sides[] = {{STDIN_FILENO, POLLIN, 0}, {fdwin, POLLIN, 0}};
  while (frun) {
    bool moved = false;
    if (std::fgets(buff, sizeof buff, stdin)) {
      std::fputs(buff, fpwin);
      std::fflush(fpwin);  // in this pass, a piece of a long line too
      moved = true;
    } else {
      std::clearerr(stdin);  // a Ctrl-D typed on a terminal must not stop its later lines
    }
    if (std::fgets(buff, sizeof buff, fpwinin)) {
      std::fputs(buff, stdout);
      moved = true;
    } else if (windowGone()) {
      std::puts("xterm: window closed");
      std::exit(-1);
    } else {
      std::clearerr(fpwinin);  // nor one typed in the window
    }
    ppoll(nullptr, 0, &pause, &open);
    if (moved || !frun) continue;
    ppoll(sides, 2, nullptr, &open);
    // A pipe whose writer has gone would wake every sleep at once: its end is for good.
    if ((sides[0].revents & (POLLIN | POLLHUP)) == POLLHUP) sides[0].fd = -1;
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  if (helpAsked(argc, argv)) {
    std::puts("An xterm window joined to standard input and output, line by line");
    std::puts("format : termbridge [-h]");
    return 0;
  }
  // Started with SIGCHLD ignored, the window would be reaped unseen and its number could
  // name another process by the time the exit handler kills it.
  signal(SIGCHLD, SIG_DFL);
  std::atexit(end);
  struct sigaction sa {};
  sa.sa_handler = stop;
  sigemptyset(&sa.sa_mask);
  for (int sig : kStopSignals) sigaction(sig, &sa, nullptr);
  if (!openConsole(&fdwin, &pidc)) return -1;
  stdinflags = fcntl(STDIN_FILENO, F_GETFL);
  setnoblock(STDIN_FILENO);
  setnoblock(fdwin);
  loop();
  // The status a shell shows for a process killed by the signal.
  return 128 + stopsig;
}
