// Test support for the serial tools: a scripted sketch on a line of its own, a sketch
// written to the protocol, the small waits and limits their tests share, and the fixture
// that runs a tool against a sketch.
#pragma once

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench.h"

namespace bench {

// How a line is set up before a tool first opens it: with the settings a Pi's UART has before
// anyone configures it (the tty defaults: canonical, echo, ICRNL, ONLCR, ISIG, IXON), or raw.
enum class LineStart { piDefaults, raw };

inline std::string nameOf(LineStart start) { return start == LineStart::piDefaults ? "PiDefaults" : "Raw"; }
inline void PrintTo(LineStart start, std::ostream* os) { *os << nameOf(start); }

// A line's start, with canonical mode turned on or off over it when asked: some tools keep the
// mode they find.
struct LineMode {
  LineStart start = LineStart::piDefaults;
  std::optional<bool> canonical{};
};

inline void setUp(Line& line, const LineMode& mode) {
  if (mode.start == LineStart::raw) line.setRaw();
  if (mode.canonical) line.setCanonical(*mode.canonical);
}

// A sketch on a line of its own per case, so that nothing of one case is left on the line for
// the next. It answers one request, or never; the test may drive it by hand besides (the
// peer's send, flood and hangUp).
struct Sketch {
  explicit Sketch(LineMode mode = {}) : Sketch(mode, std::vector<Chunk>{}) {}  // never answers
  Sketch(LineMode mode, std::vector<Chunk> answer, std::string request = "?") {
    setUp(line, mode);
    if (!answer.empty()) peer.onLine(std::move(request), std::move(answer));
    peer.start();
  }
  Sketch(LineMode mode, std::string answer, int delayMs = 0)
      : Sketch(mode, std::vector<Chunk>{{delayMs, std::move(answer)}}) {}
  explicit Sketch(std::vector<Chunk> answer, std::string request = "?")
      : Sketch(LineMode{}, std::move(answer), std::move(request)) {}
  Sketch(std::string answer, int delayMs = 0) : Sketch(LineMode{}, std::move(answer), delayMs) {}
  Line line;
  SketchPeer peer{line};
};

// A sketch written to the protocol as the documents state it, on a line of its own: it answers
// each request it knows with CR LF line ends, expects nothing back, and keeps every other byte
// the tool sends as a protocol error (SketchPeer::strict).
struct ProtocolSketch {
  explicit ProtocolSketch(LineStart start, std::vector<std::pair<std::string, std::string>> answers = {{"?", "LinkTest\n"}}) {
    setUp(line, {.start = start});
    for (auto& [request, answer] : answers) peer.onLine(std::move(request), std::move(answer));
    peer.strict();
    peer.start();
  }
  // Bytes left unread on the tool's side, for the next run to find.
  int pending() const {
    int n = -1;
    ioctl(line.slave(), FIONREAD, &n);
    return n;
  }
  Line line;
  SketchPeer peer{line};
};

// A sketch that never pauses: from the moment the tool has set the line up (its echo off, so
// that none of this is echoed as the line's start settings would), `bytes` every `everyMs`
// milliseconds until the chatter goes.
class Chatter {
 public:
  Chatter(SketchPeer& peer, const Line& line, std::string bytes, int everyMs = 20)
      : thread_([this, &peer, &line, bytes = std::move(bytes), everyMs] {
          while (!stop_ && (line.settings().c_lflag & ECHO) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          while (!stop_) {
            peer.send(bytes);
            std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
          }
        }) {}
  ~Chatter() {
    stop_ = true;
    thread_.join();
  }
  Chatter(const Chatter&) = delete;
  Chatter& operator=(const Chatter&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// `bytes` `n` times over.
inline std::string times(int n, const std::string& bytes) {
  std::string all;
  for (int i = 0; i < n; ++i) all += bytes;
  return all;
}

// Until bytes wait unread on the tool's side of the line, at most 0.5 s; whether they do.
inline bool waitPending(const Line& line) {
  return waitFor(
      [&] {
        int n = 0;
        ioctl(line.slave(), FIONREAD, &n);
        return n > 0;
      },
      500);
}

// At most `ms` milliseconds for the tool.
inline RunOptions timeLimit(int ms) {
  RunOptions runOptions;
  runOptions.timeoutMs = ms;
  return runOptions;
}

// At most n descriptors, the standard three included. A sanitizer build's leak check needs
// descriptors of its own at exit, so it is left out of such runs.
inline RunOptions openFiles(int n) {
  RunOptions runOptions;
  runOptions.maxOpenFiles = n;
  runOptions.env = {"ASAN_OPTIONS=detect_leaks=0"};
  return runOptions;
}

// A serial tool's cases: the tool runs on a board of the case's own, with a sketch's line as
// /dev/ttyS0, or with no line at all.
class SerialToolTest : public ::testing::Test {
 protected:
  explicit SerialToolTest(std::string tool) : tool_(std::move(tool)) {}

  template <typename AnySketch>
  RunResult runTool(AnySketch& sketch, std::vector<std::string> args = {}, RunOptions runOptions = {}) {
    runOptions.lines["/dev/ttyS0"] = sketch.line.slavePath();
    return runTool(std::move(args), std::move(runOptions));
  }
  RunResult runTool(std::vector<std::string> args, RunOptions runOptions = {}) {
    args.insert(args.begin(), tool_);
    runOptions.argv = std::move(args);
    return bench::run(*board, std::move(runOptions));
  }

  ScratchBoard board;

 private:
  std::string tool_;
};

}  // namespace bench
