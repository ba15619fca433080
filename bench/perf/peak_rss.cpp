// peak_rss PROGRAM [ARGS...]: runs PROGRAM as a traced child and, at its exit stop, while
// its address space still exists, writes its peak resident memory (VmHWM, in KiB) to
// /dev/vboard/peak-rss. The figure is the program's own: wait4's ru_maxrss would also
// count the copy of this process that the fork made before the exec.
// Ends with PROGRAM's status. Signals meant for the group (SIGTERM, SIGINT, SIGHUP) are
// left to PROGRAM, so a run that is stopped that way is still measured.
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "board.h"

namespace {

long peakKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string key; status >> key;) {
    if (key == "VmHWM:") {
      long kib = -1;
      status >> kib;
      return kib;
    }
    status.ignore(1 << 20, '\n');
  }
  return -1;
}

bool isEvent(int status, int event) { return status >> 8 == (SIGTRAP | (event << 8)); }

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::fputs("usage: peak_rss PROGRAM [ARGS...]\n", stderr);
    return 2;
  }
  const pid_t child = fork();
  if (child < 0) return 127;
  if (child == 0) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    raise(SIGSTOP);  // the tracer sets its options before the exec
    execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    _exit(127);
  }
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) signal(sig, SIG_IGN);
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) return 127;
  ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
  ptrace(PTRACE_CONT, child, nullptr, nullptr);
  long peak = -1;
  while (waitpid(child, &status, 0) == child) {
    if (WIFEXITED(status) || WIFSIGNALED(status)) break;
    if (!WIFSTOPPED(status)) continue;
    int deliver = 0;
    if (isEvent(status, PTRACE_EVENT_EXIT))
      peak = peakKib(child);
    else if (!isEvent(status, PTRACE_EVENT_EXEC))
      deliver = WSTOPSIG(status);  // a signal on its way to the program: let it through
    ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver)));
  }
  std::ofstream(std::string(simboard::kBoardPath) + "/peak-rss") << peak << '\n';
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 127;
}
