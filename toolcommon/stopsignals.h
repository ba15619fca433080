// SIGINT, SIGTERM and SIGHUP in the tools that drive the reset line. The handler only notes the
// signal; the tool's own flow then drives the line low, lets the programmer it started end,
// waits for it and ends with 128 + the signal's number, so that no interruption leaves the
// line high or a programmer running.
//
//   catchStopSignals()      note the three signals from now on; one the tool was started with
//                           ignored (nohup, a background job) stays ignored
//   stopSignal              the signal noted, or 0
//   forkProgrammer()        fork(); the child gets the dispositions the tool was started with,
//                           and a signal that comes meanwhile waits until each side is ready
//   waitProgrammer()        waitpid() on that child alone; on a stop signal, lowers the line
//                           once and passes the signal on unless the terminal sent it to both
//   exitStopped()           exit(128 + stopSignal)
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

inline volatile sig_atomic_t stopSignal = 0;
inline volatile sig_atomic_t stopSignalFromTerminal = 0;

inline constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
inline struct sigaction stopSignalsAtStart[3];

inline void noteStopSignal(int sig, siginfo_t* info, void*) {
  stopSignal = sig;
  // The terminal signals its whole foreground process group, the programmer included.
  stopSignalFromTerminal = info->si_code == SI_KERNEL;
}

inline void catchStopSignals() {
  for (int i = 0; i < 3; ++i) {
    sigaction(kStopSignals[i], nullptr, &stopSignalsAtStart[i]);
    if (stopSignalsAtStart[i].sa_handler == SIG_IGN) continue;
    struct sigaction note {};
    note.sa_sigaction = noteStopSignal;
    note.sa_flags = SA_SIGINFO;  // no SA_RESTART: a wait or a delay ends at the signal
    sigemptyset(&note.sa_mask);
    sigaction(kStopSignals[i], &note, nullptr);
  }
}

inline pid_t forkProgrammer() {
  sigset_t stops, before;
  sigemptyset(&stops);
  for (int sig : kStopSignals) sigaddset(&stops, sig);
  sigprocmask(SIG_BLOCK, &stops, &before);
  const pid_t pid = fork();
  if (pid == 0)
    for (int i = 0; i < 3; ++i) sigaction(kStopSignals[i], &stopSignalsAtStart[i], nullptr);
  sigprocmask(SIG_SETMASK, &before, nullptr);
  return pid;
}

inline pid_t waitProgrammer(pid_t child, int& status, void (*lowerLine)()) {
  bool passedOn = false;
  for (;;) {
    if (stopSignal && !passedOn) {
      lowerLine();
      if (!stopSignalFromTerminal) kill(child, stopSignal);
      passedOn = true;
    }
    const pid_t ended = waitpid(child, &status, 0);
    if (ended >= 0 || errno != EINTR) return ended;
  }
}

[[noreturn]] inline void exitStopped() { std::exit(128 + stopSignal); }
