// termbridge: an xterm window on a pseudo-terminal, joined line by line to our own
// standard streams. The window holds the master side, we keep the slave.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// Cleared by SIGINT, SIGTERM and SIGHUP: the bridge then leaves through exit, so the
// exit handler closes the window instead of leaving it open for ever.
volatile std::sig_atomic_t frun = 1;
volatile std::sig_atomic_t stopsig = 0;
int fdwin = 0;
std::FILE* fpwin = nullptr;
char buff[512];
int pidc = -1;
const useconds_t timeout = 50000;
int stdinflags = -1;  // as we found them, given back on the way out

void closeConsole(int fds, std::FILE* fp, int pid) {
  if (fp)
    std::fclose(fp);
  else if (fds > 0)
    close(fds);
  if (pid > 0) kill(pid, SIGKILL);
}

void end() {
  // The calling shell must not be left with a non-blocking terminal.
  if (stdinflags != -1) fcntl(STDIN_FILENO, F_SETFL, stdinflags);
  closeConsole(fdwin, fpwin, pidc);
}

void stop(int sig) {
  stopsig = sig;
  frun = 0;
}

void setnoblock(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

std::FILE* openConsole(int* fds, int* pid) {
  int fdm = -1;
  if (openpty(&fdm, fds, nullptr, nullptr, nullptr) != 0) {
    const int err = errno;
    std::printf("openpty: %d - %.100s\n", err, std::strerror(err));
    return nullptr;
  }
  std::FILE* fp = fdopen(*fds, "w+");
  if (!fp) {
    const int err = errno;
    std::printf("open I/O: %d - %.100s\n", err, std::strerror(err));
    return nullptr;
  }
  char trm[10];
  std::snprintf(trm, sizeof trm, "-Sxx%d", fdm);
  const pid_t child = fork();
  if (child < 0) {
    const int err = errno;
    std::printf("fork: %d - %.100s\n", err, std::strerror(err));
    return nullptr;
  }
  if (child == 0) {
    close(*fds);
    execl("/usr/bin/xterm", "xterm", trm, "-T", "Console", static_cast<char*>(nullptr));
    const int err = errno;
    // Straight to the descriptor and out: the bridge's buffered output and its exit
    // handler belong to the bridge, not to this copy of it.
    dprintf(STDOUT_FILENO, "xterm: %d - %.100s\n", err, std::strerror(err));
    _exit(255);
  }
  *pid = child;
  close(fdm);
  return fp;
}

// The window program has gone, so the master side is closed: the slave reports a hang-up.
bool windowGone() {
  pollfd p{fdwin, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

void loop() {
  while (frun) {
    if (std::fgets(buff, sizeof buff, stdin)) std::fputs(buff, fpwin);
    if (std::fgets(buff, sizeof buff, fpwin)) {
      std::fputs(buff, stdout);
    } else if (windowGone()) {
      std::puts("xterm: window closed");
      std::exit(-1);
    } else {
      std::clearerr(fpwin);  // a Ctrl-D typed in the window must not stop its lines for good
    }
    usleep(timeout);
  }
}

}  // namespace

int main() {
  std::atexit(end);
  struct sigaction sa {};
  sa.sa_handler = stop;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  fpwin = openConsole(&fdwin, &pidc);
  if (!fpwin) return -1;
  stdinflags = fcntl(STDIN_FILENO, F_GETFL);
  setnoblock(STDIN_FILENO);
  setnoblock(fdwin);
  loop();
  // The status a shell shows for a process killed by the signal.
  return 128 + stopsig;
}
