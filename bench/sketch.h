// Test support for the serial tools: a scripted sketch on a line of its own, and
// the small waits and limits their tests share.
#pragma once

#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench.h"

namespace bench {

// A line of its own per case, so that nothing of one case is left on the line for the next.
struct Sketch {
  Sketch() { peer.start(); }  // never answers
  explicit Sketch(std::vector<Chunk> answer, std::string request = "?") {
    peer.onLine(std::move(request), std::move(answer));
    peer.start();
  }
  Sketch(std::string answer, int delayMs = 0) : Sketch(std::vector<Chunk>{{delayMs, std::move(answer)}}) {}
  // Neither echo nor output processing: the peer sees the tool's bytes exactly.
  void raw() {
    termios t = line.settings();
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(line.slave(), TCSANOW, &t);
  }
  Line line;
  SketchPeer peer{line};
};

// Until bytes wait unread on the tool's side of the line (at most 0.5 s).
inline void waitPending(const Line& line) {
  for (int i = 0, n = 0; i < 100 && n == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ioctl(line.slave(), FIONREAD, &n);
  }
}

// At most n descriptors, the standard three included. A sanitizer build's leak check needs
// descriptors of its own at exit, so it is left out of such runs.
inline RunSpec openFiles(int n) {
  RunSpec runSpec;
  runSpec.maxOpenFiles = n;
  runSpec.env = {"ASAN_OPTIONS=detect_leaks=0"};
  return runSpec;
}

}  // namespace bench
