// The bench and the tests' kit: a virtual Pi with the Orvix board, for tests and for people,
// and what the tests share besides.
//
//   ScratchBoard            a board in a temporary directory, removed at the end
//   Line                    a pseudo-terminal standing for a serial line; the bench holds both sides,
//                           and a test may set it plain or raw before a tool opens it, or hang it up
//   SketchPeer              a scripted sketch on the far side of a Line, on its own thread; a test
//                           may also drive it by hand: send, flood, wait until the tool has read
//                           it all, and vanish
//   RunOptions / Process    a tool run as a child in a private mount namespace: the board's fixed
//                           paths, serial names bound to Lines, outside programs bound or absent,
//                           stand-ins for sudo and date first on PATH and over the system's own,
//                           no power to set the clock; output captured, time-limited
//   setUpPi()               the outside programs as orvix-setup links them on a Pi
//   run()                   Process started and waited for
//   slurp(file)             a file's bytes
//   waitFor(ready, ms)      polls a condition until it holds or the time is up
//
// The kit's sections, below the bench's own: the serial tools' sketches and fixture; the
// uploaders' programmer fixture; a test's own end of the virtual chip's port; and what every
// case of the bad-input and fault campaign checks (namespace campaign).
//
// The board's own state (clock, GPIO, trace) is simboard::Board.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "board.h"
#include "standins/avrdude-recorder.h"
#include "standins/date.h"
#include "standins/mcuload-recorder.h"
#include "standins/xterm-recorder.h"

namespace bench {

using simboard::Board;
using simboard::monotonicMicros;

using simboard::kButtonPin;
using simboard::kResetPin;

// The outside programs and files at the tools' fixed paths. In a run each is absent unless bound.
inline constexpr const char* kAvrdude = "/home/velmont/avrdude";
inline constexpr const char* kAvrdudeConf = "/home/velmont/avrdude.conf";
inline constexpr const char* kLoader = "/home/pi/bin/mcuload";
inline constexpr const char* kWaitSketch = "/home/pi/bin/mcusketches/WaitSketch.hex";
inline constexpr const char* kXterm = "/usr/bin/xterm";
inline const std::vector<std::string> kFixedPaths = {kAvrdude, kAvrdudeConf, kLoader, kWaitSketch, kXterm};

// Serial device names a run can bind to a Line.
inline const std::vector<std::string> kSerialNames = {"/dev/ttyS0", "/dev/ttyAMA0", "/dev/Arduino"};

std::filesystem::path toolDir();     // where the built tools are
std::filesystem::path standInDir();  // the stand-ins for sudo and date (and other recorders)
// The fixed paths as orvix-setup leaves them on a Pi, each bound to what this build and
// Debian provide: the loader, the built pin-wait sketch, Debian's avrdude and its
// configuration. Those missing on this machine are left out.
std::map<std::string, std::filesystem::path> setUpPi();

// A file's bytes as they are; empty when it cannot be read.
std::string slurp(const std::filesystem::path& file);

// Polls `ready` every `everyMs` milliseconds until it holds, for at most `ms` milliseconds;
// whether it held.
template <typename F>
bool waitFor(F ready, int ms, int everyMs = 5) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (ready()) return true;
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
  }
}

// Milliseconds from one monotonic time to another.
inline double msBetween(std::int64_t fromUs, std::int64_t toUs) { return static_cast<double>(toUs - fromUs) / 1000; }

// The median of repeated timings in ms, printed with their spread under `what`, so that a
// test's log shows how close to its bound each run came.
inline double reportMedian(const std::string& what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  const double median = ms[ms.size() / 2];
  std::printf("%s: median %.1f ms, spread %.1f to %.1f ms\n", what.c_str(), median, ms.front(), ms.back());
  return median;
}

// A directory made fresh and removed, with all it holds, when it goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A board in a temporary directory.
class ScratchBoard {
 public:
  ScratchBoard() : board_(Board::create(dir_.path() / "board")) {}
  Board& operator*() { return board_; }
  Board* operator->() { return &board_; }
  const Board& get() const { return board_; }

 private:
  TempDir dir_;
  Board board_;
};

// A pseudo-terminal pair: the tool opens the slave under a serial name, the peer uses
// the master. Both stay open here, so the line and its settings outlive each run, until
// the far side hangs up. The slave keeps the tty defaults (canonical, ECHO, ICRNL, ONLCR)
// unless a test changes them.
class Line {
 public:
  Line();
  ~Line();
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  int master() const { return master_; }  // -1 once hung up
  int slave() const { return slave_; }
  const std::string& slavePath() const { return slavePath_; }

  void setCanonical(bool on);
  void setEcho(bool on);
  void setCrToNl(bool on);  // ICRNL: a CR from the far side reaches the tool as a line end
  // The far side reads exactly the bytes a tool writes: neither echo nor output processing.
  // The rest (canonical mode, the mapping of the tool's input) stays as it is.
  void setPlain();
  // Raw as cfmakeraw makes it: not canonical, and no echo, signals, flow control or CR/LF
  // mapping either way, so every byte crosses unchanged.
  void setRaw();
  termios settings() const;  // the slave's settings, as a tool left them
  // The far side goes, as when a USB adapter is pulled or the sketch's side dies: the master
  // is closed and the kernel hangs up the slave. A peer on the line must have stopped.
  void hangUp();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

// A piece of an answer: wait `delayMs`, then send `bytes`.
struct Chunk {
  int delayMs = 0;
  std::string bytes;
};

// A sketch that follows a script, on the master side of a Line, on its own thread.
// It records all it reads from the line, with the time of each read. With the tty defaults
// ECHO is on at the slave, so what the peer sends comes back to it as the slave's echo, as it
// would to a real sketch: the record (received(), waitReceived()) holds that echo among the
// tool's bytes. Rules match the tool's lines only: the peer foresees the echo of its own bytes
// from the slave's settings and leaves it out of the lines it matches (the echo of erase, kill
// and the like in canonical mode, which depends on what came before, is not foreseen).
// All it sends (answer chunks, sendAt, send, flood) goes out on the one line in order of time, each
// piece whole before the next; a piece that does not fit is finished while reading goes on.
// A strict peer is a sketch written to the protocol as the documents state it instead: see strict().
// The Line must outlive its peer.
class SketchPeer {
 public:
  explicit SketchPeer(Line& line);
  ~SketchPeer();
  SketchPeer(const SketchPeer&) = delete;
  SketchPeer& operator=(const SketchPeer&) = delete;

  // When a line from the tool equals `line` (its CR and LF removed), send `answer`: each chunk
  // `delayMs` after the previous one has gone out, the first after the line came. The first
  // rule for a line is the one that answers.
  SketchPeer& onLine(std::string line, std::vector<Chunk> answer);
  SketchPeer& onLine(std::string line, std::string answer, int delayMs = 0);
  // Send `bytes` `ms` milliseconds after start().
  SketchPeer& sendAt(int ms, std::string bytes);
  // From now on, as a sketch that answers with Serial.println and expects nothing back: each
  // line end of an answer goes out as CR LF (a "\n" not already after a "\r" becomes "\r\n"),
  // and the tool's bytes must be exactly lines that a rule names, each ended by "\n" alone. Any
  // other byte (an echo, a CR, a line no rule names, a line left unfinished) is a protocol
  // error, kept for the test in protocolErrors(); no echo is foreseen or left out. Before start().
  SketchPeer& strict();
  // The strict peer's protocol errors so far, each with the bytes concerned in C escapes; a
  // line still unfinished is one too.
  std::vector<std::string> protocolErrors() const;

  void start();
  void stop();
  void send(const std::string& bytes);  // at once, from the caller's thread
  // Sends `unit` again and again for `ms` milliseconds, each whole before the next and the next
  // a millisecond or so later, so never pausing for as long as the tools' 0.1 s of silence. It
  // stops early when the line takes no more for 200 ms (the tool has stopped reading and the
  // line's buffers are full); a unit then cut short goes out once the line has room. Returns
  // the units that went out whole.
  std::string flood(const std::string& unit, int ms);
  // Waits until every piece due by now has gone out whole; false after the time-out.
  bool waitSent(int timeoutMs) const;
  // Waits until all sent so far has gone out and the tool has read it (its side of the line
  // holds no input), each for at most `timeoutMs`.
  bool waitConsumed(int timeoutMs = 3000) const;
  // The sketch vanishes once all sent so far has gone out: the peer stops and the line hangs up
  // (Line::hangUp). Throws when that takes the line more than 1 s.
  void hangUp();

  struct Received {
    std::int64_t us = 0;  // monotonic time the bytes were read
    std::string bytes;
  };
  std::vector<Received> received() const;
  std::string receivedBytes() const;
  // Waits until the received bytes contain `needle`; false after the time-out.
  bool waitReceived(const std::string& needle, int timeoutMs = 5000) const;
  std::int64_t startUs() const { return startUs_; }
  // Monotonic time each piece (answer chunk, sendAt, send) started going out, in that order.
  std::vector<std::int64_t> sentTimes() const;

 private:
  struct Rule {
    std::string line;
    std::vector<Chunk> answer;
  };
  struct Timed {
    int ms = 0;
    std::string bytes;
  };
  // An answer or a single piece still to send: chunks[next] is due at dueUs.
  struct Outgoing {
    std::int64_t dueUs = 0;
    std::vector<Chunk> chunks;
    std::size_t next = 0;
  };
  void loop();
  void wake();
  void heard(const std::string& line, std::int64_t us);  // a line from the tool

  Line& line_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  bool started_ = false;
  bool strict_ = false;
  int wake_[2] = {-1, -1};
  std::int64_t startUs_ = 0;
  mutable std::mutex mutex_;  // guards what follows
  mutable std::condition_variable changed_;
  std::vector<Rule> rules_;
  std::vector<Timed> timed_;  // sendAt before start()
  std::vector<Received> received_;
  std::string receivedBytes_;
  std::vector<std::string> protocolErrors_;
  std::string unfinished_;  // of a strict peer: the tool's bytes since its last line end
  std::vector<std::int64_t> sent_;
  std::vector<Outgoing> outbox_;
  bool busy_ = false;  // a piece taken from the outbox is still going out
};

struct RunOptions {
  std::vector<std::string> argv{};  // the tool (a name on PATH or a path) and its arguments
  // Serial names in the tool's /dev, each bound to a slave path (Line::slavePath()).
  std::map<std::string, std::string> lines{};
  // Fixed paths bound to files of the host; those of kFixedPaths not named here are absent.
  std::map<std::string, std::filesystem::path> files{};
  std::string input{};         // written to standard input
  bool keepInputOpen = false;  // else standard input is closed after `input`
  bool standIns = true;        // the stand-ins for sudo and date first on PATH and over the system's
  int timeoutMs = 10000;       // then SIGTERM to the tool's process group, SIGKILL 2 s later; 0: no limit
  std::vector<std::string> env{};     // NAME=VALUE, added to the environment (a PATH replaces the bench's)
  std::optional<int> maxOpenFiles{};  // RLIMIT_NOFILE for the tool
  std::filesystem::path cwd{};        // empty: the caller's
  bool inheritStdio = false;  // the tool uses the caller's own standard streams (nothing captured)
};

// Binds at a fixed path (kAvrdude, kLoader or kXterm) the stand-in that records on the board
// what the tool asked of that program (standins/*-recorder.h).
void bindStandIn(RunOptions& options, const std::string& fixedPath);

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;    // exit status, when the tool exited
  int signal = 0;     // the signal that ended it, else 0
  bool timedOut = false;
  double seconds = 0;  // wall time from start to end
  std::int64_t startUs = 0;
  std::int64_t endUs = 0;
  // Standard output as it arrived: monotonic time, bytes.
  std::vector<std::pair<std::int64_t, std::string>> outChunks;
};

// A tool running on the bench.
class Process {
 public:
  Process(const Board& board, RunOptions runOptions);
  ~Process();  // kills what is left of the tool's process group
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void write(const std::string& bytes);  // to standard input (keepInputOpen)
  void closeInput();
  void signal(int sig);
  bool running();
  std::string out() const;  // standard output so far
  bool waitOutput(const std::string& needle, int timeoutMs) const;
  RunResult wait();  // until the tool ends or its time limit ends it

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  pid_t pid_ = -1;
};

RunResult run(const Board& board, RunOptions runOptions);

// --- the serial tools' tests: a scripted sketch on a line of its own, a sketch written to the
// protocol, the small waits and limits their tests share, and the fixture that runs a tool
// against a sketch ---

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

// What a sketch's protocolErrors() is when the tool kept to the protocol.
inline const std::vector<std::string> kNoErrors;
// A line set raw before the tool opens it: every byte value crosses unchanged.
inline const LineMode kRaw{.start = LineStart::raw};

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

// Ended by itself, not by a signal or the time limit, and no sanitizer spoke.
inline void expectSound(const RunResult& r) {
  EXPECT_FALSE(r.timedOut) << "ran past its time limit";
  EXPECT_EQ(r.signal, 0) << "ended by a signal";
  EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
}

// --- the uploaders' tests: a scratch board, a working directory holding a sketch file, and the
// recording programmer (standins/avrdude-recorder.h) at avrdude's fixed path, planned to end at
// once with status 0 ---

namespace programmer {

// The smallest sketch a programmer takes: one record and the end.
inline constexpr const char* kHex = ":100000000C9434000C943E000C943E000C943E0082\n:00000001FF\n";
inline constexpr const char* kSketchFile = "file.hex";  // in the fixture's working directory

inline RunOptions recorded(RunOptions options) {
  bindStandIn(options, kAvrdude);
  return options;
}

class Fixture {
 public:
  Fixture() {
    std::ofstream(work.path() / kSketchFile) << kHex;
    plan(board->dir(), 0, 0);
  }

  RunOptions uploadOptions(std::vector<std::string> argv) const {
    RunOptions options;
    options.argv = std::move(argv);
    options.cwd = work.path();
    return recorded(std::move(options));
  }
  RunResult upload(RunOptions options) {
    forgetRuns();
    return run(*board, std::move(options));
  }
  std::vector<Run> uploads() const { return runs(board.get().dir()); }
  // The programmer's single start in the last run.
  Run onlyRun() const {
    const auto all = uploads();
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? Run{} : all.front();
  }

  // The programmer of this run once it has started, its pid a process of the run; none after 5 s.
  Run waitStarted() const {
    waitFor([&] { return !uploads().empty(); }, 5000);
    const auto all = uploads();
    return all.empty() ? Run{} : all.back();
  }
  // The reset line's writes, oldest first: time and level.
  std::vector<std::pair<std::int64_t, int>> resetWrites() const {
    std::vector<std::pair<std::int64_t, int>> writes;
    for (const auto& e : board.get().trace("gpio-write"))
      if (e.args[0] == kResetPin) writes.emplace_back(e.us, e.args[1]);
    return writes;
  }
  // Until the reset line has been driven to `level` `count` times in this run, at most 5 s.
  bool waitResetWrites(int level, std::size_t count = 1) const {
    return waitFor(
        [&] {
          std::size_t n = 0;
          for (const auto& [us, written] : resetWrites()) n += written == level;
          return n >= count;
        },
        5000);
  }
  // Low, high for the programmer, and low again only once it had gone, at or after `goneUs`.
  void expectLineLoweredAfter(std::int64_t goneUs) const {
    const auto writes = resetWrites();
    ASSERT_GE(writes.size(), 3u);
    EXPECT_EQ(writes[writes.size() - 3].second, 0);
    EXPECT_EQ(writes[writes.size() - 2].second, 1);
    EXPECT_EQ(writes.back().second, 0);
    EXPECT_GE(writes.back().first, goneUs) << "the line fell before the programmer had gone";
  }
  // The uploader `tool` on SIGINT, SIGTERM or SIGHUP while its programmer runs, sent to the tool
  // alone (which passes it on) and to its process group (as a terminal sends it): the reset line
  // goes low at once, the programmer is stopped and waited for, and the tool ends with 128 + the
  // signal's number, saying nothing.
  void expectAnInterruptedUploadStopped(const std::string& tool) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
      for (bool group : {false, true}) {
        SCOPED_TRACE(std::string(strsignal(sig)) + (group ? " to the process group" : " to the tool"));
        forgetRuns();
        plan(board->dir(), 5000, 0);
        Process p(*board, uploadOptions({tool, kSketchFile}));
        const auto started = waitStarted();
        ASSERT_GT(started.pid, 0);
        const std::int64_t sent = monotonicMicros();
        kill(group ? -p.pid() : p.pid(), sig);
        auto r = p.wait();
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 128 + sig);
        EXPECT_EQ(r.out, "");
        EXPECT_LT(msBetween(sent, r.endUs), 1000) << "the programmer was not stopped";
        const auto all = uploads();
        ASSERT_EQ(all.size(), 1u);
        EXPECT_EQ(all[0].endUs, -1) << "the programmer ran to its end";
        EXPECT_NE(kill(started.pid, 0), 0) << "the programmer is still running";
        const auto writes = resetWrites();
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes.back().second, 0);
        EXPECT_GE(writes.back().first, sent);
        EXPECT_EQ(board->pin(kResetPin).level, 0);
      }
    }
  }
  // `argv`, an uploader's run, stopped (SIGTERM) once the reset line has been driven to `level`,
  // before its programmer starts: none is started, and the line is left low.
  void expectAnUploadStoppedBeforeItsProgrammerStartsNone(std::vector<std::string> argv, int level) {
    forgetRuns();
    plan(board->dir(), 0, 0);
    Process p(*board, uploadOptions(std::move(argv)));
    ASSERT_TRUE(waitResetWrites(level));
    p.signal(SIGTERM);
    auto r = p.wait();
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(uploads().empty());
    EXPECT_LT(r.seconds, 2.5);
    const auto writes = resetWrites();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().second, 0);
    EXPECT_EQ(board->pin(kResetPin).level, 0);
  }

  // A sketch named "-" is a file, not the programmer's standard input; nor is a name beginning
  // with "-": `tool` hands it on as a path.
  void expectNamesBeginningWithMinusKeptPaths(const std::string& tool) {
    for (const std::string name : {"-", "-x.hex"}) {
      SCOPED_TRACE(name);
      std::ofstream(work.path() / name) << kHex;
      auto r = upload(uploadOptions({tool, name}));
      expectSound(r);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(onlyRun().argv.back(), "-Uflash:w:./" + name + ":i");
    }
  }
  // `argv`, an uploader's run whose programmer is killed (SIGKILL) once it has started: the
  // uploader fails (255) within a second, lowering the reset line only once the programmer has
  // gone. Its result, for what the uploader said.
  RunResult expectAKilledProgrammerFailsTheUpload(std::vector<std::string> argv) {
    forgetRuns();
    plan(board->dir(), 5000, 0);
    Process p(*board, uploadOptions(std::move(argv)));
    const auto started = waitStarted();
    const std::int64_t killed = monotonicMicros();
    if (started.pid > 0)
      kill(started.pid, SIGKILL);
    else
      ADD_FAILURE() << "the programmer did not start";
    auto r = p.wait();
    expectSound(r);
    EXPECT_EQ(r.status, 255);
    EXPECT_LT(msBetween(killed, r.endUs), 1000) << "the uploader went on waiting";
    expectLineLoweredAfter(killed);
    return r;
  }

  TempDir work;
  ScratchBoard board;

 private:
  void forgetRuns() {
    board->clearTrace();
    forget(board->dir());
  }
};

}  // namespace programmer

// --- the virtual chip's tests: a program's end of the chip's line, that is the port opened by
// its path (so that the chip's bytes reach it), at a baud rate, raw unless asked otherwise;
// everything times out. And the pauses and stopwatch of real time those tests share ---

inline void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

inline double secondsSince(std::int64_t us) { return static_cast<double>(monotonicMicros() - us) / 1e6; }

class TestPort {
 public:
  TestPort(const std::string& path, speed_t speed, bool raw = true) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), path);
    termios t{};
    tcgetattr(fd_, &t);
    if (raw) cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~TestPort() { ::close(fd_); }
  TestPort(const TestPort&) = delete;
  TestPort& operator=(const TestPort&) = delete;

  void setSpeed(speed_t speed) {
    termios t{};
    tcgetattr(fd_, &t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd_, TCSANOW, &t);
  }

  void send(const std::string& bytes) {
    if (::write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
      throw std::system_error(errno, std::generic_category(), "write");
  }

  // What arrives until `needle` has (what comes after it in the same read stays in the
  // result), or until `ms` milliseconds have passed.
  std::string readUntil(const std::string& needle, int ms) {
    std::string got;
    const std::int64_t deadline = monotonicMicros() + std::int64_t{ms} * 1000;
    while (needle.empty() || got.find(needle) == std::string::npos) {
      const std::int64_t left = (deadline - monotonicMicros()) / 1000;
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[512];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
  std::string readFor(int ms) { return readUntil("", ms); }

  // Sends `request` and returns the answer up to and with its first line end.
  std::string ask(const std::string& request, int ms = 1000) {
    send(request);
    return readUntil("\n", ms);
  }

 private:
  int fd_ = -1;
};

}  // namespace bench

// --- the bad-input and fault campaign: the hostile inputs it uses, and what no input may cause ---

namespace campaign {

namespace fs = std::filesystem;

struct Hostile {
  std::string name;  // for the test's messages
  std::string value;
};

// Every byte value an argument can hold: 1 to 255 (a NUL ends an argument).
inline std::string everyByte() {
  std::string bytes;
  for (int c = 1; c <= 255; ++c) bytes += static_cast<char>(c);
  return bytes;
}

// Words that try to make a tool crash, run a command or write a file. The commands they
// carry touch files named pwned-* in the board's directory (/dev/vboard in the run) and in
// the run's working directory, where a check afterwards would find them.
inline std::vector<Hostile> hostileWords() {
  return {
      {"empty", ""},
      {"64KiB", std::string(64 * 1024, 'A')},
      {"every byte", everyByte()},
      {"printf formats", "%s%s%s%s%n%n%99999999d%x"},
      {"semicolon", "x; touch /dev/vboard/pwned-semicolon"},
      {"command substitution", "$(touch /dev/vboard/pwned-dollar)"},
      {"backticks", "`touch /dev/vboard/pwned-backtick`"},
      {"single quotes", "x'; touch /dev/vboard/pwned-squote; '"},
      {"double quotes", "x\"; touch /dev/vboard/pwned-dquote; \""},
      {"newline", "x\ntouch /dev/vboard/pwned-newline"},
      {"pipe and and", "x | touch /dev/vboard/pwned-pipe && touch /dev/vboard/pwned-and"},
      {"relative", "$(touch pwned-cwd)`touch pwned-cwd2`"},
      {"minus one", "-1"},
      {"below int", "-2147483649"},
      {"above int", "2147483648"},
      {"above unsigned", "4294967298"},
      {"twenty digits", "99999999999999999999"},
      {"minus twenty digits", "-99999999999999999999"},
      {"exponent", "1e9"},
      {"hex", "0x7fffffff"},
  };
}

// All the words at once, for tools that do not look at their arguments.
inline std::vector<std::string> allHostileWords() {
  std::vector<std::string> all;
  for (const auto& h : hostileWords()) all.push_back(h.value);
  return all;
}

using bench::expectSound;

// When the tool's last output arrived: its end, for tools that print as they end. (The end
// a run reports is when the test asked for it.)
inline std::int64_t lastOutputUs(const bench::RunResult& r) {
  return r.outChunks.empty() ? 0 : r.outChunks.back().first;
}

// The transfers of one kind ("i2c-read", "i2c-write") in a board's trace: how many were tried,
// how many succeeded, and the handle the I2C setup returned (-2: no setup).
struct Transfers {
  int handle = -2;
  int tried = 0, succeeded = 0;
};
inline Transfers transfers(const bench::Board& board, const std::string& op) {
  Transfers t;
  for (const auto& e : board.trace()) {
    if (e.op == "i2c-setup") t.handle = e.args[1];
    if (e.op != op) continue;
    ++t.tried;
    if (e.args.back() >= 0) ++t.succeeded;
  }
  return t;
}

// Until process `pid` holds the terminal `path` open `count` times. The tool names it by a
// name of its own view (/dev/ttyS0), so the device number tells.
inline bool waitOpened(pid_t pid, const std::string& path, int count, int ms = 5000) {
  struct stat want {};
  if (stat(path.c_str(), &want) != 0) return false;
  return bench::waitFor(
      [&] {
        int n = 0;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
          struct stat st {};
          if (stat(e.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == want.st_rdev) ++n;
        }
        return n >= count;
      },
      ms);
}

inline std::set<std::string> namesIn(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// The files a run may leave in the board's directory: the board's own state and trace,
// and the records of the bench's stand-ins for the outside programs.
inline bool documentedOnBoard(const std::string& name) {
  static const std::set<std::string> fixed = {
      "state", "state.new", "trace", "lock", "commands", bench::sysclock::kClock, bench::programmer::kRecord,
      bench::programmer::kPlan, bench::loader::kCalls};
  return fixed.count(name) != 0 || name.starts_with(bench::window::kPrefix);
}

// A working directory of the run's own and the board's directory, looked at before and
// after: no tool writes a file in its working directory, and on the board only the files
// above appear.
class WriteWatch {
 public:
  explicit WriteWatch(const bench::Board& board) : board_(board.dir()), boardBefore_(namesIn(board_)) {}
  const fs::path& cwd() const { return cwd_.path(); }
  void expectNothingWritten() const {
    EXPECT_EQ(namesIn(cwd_.path()), cwdBefore_) << "a file appeared in the working directory";
    for (const auto& name : namesIn(board_)) {
      if (boardBefore_.count(name)) continue;
      EXPECT_TRUE(documentedOnBoard(name)) << "a file appeared on the board: " << name;
      EXPECT_EQ(name.find("pwned"), std::string::npos) << "a hostile word ran a command: " << name;
    }
  }
  // Files the test itself puts in the working directory before the run.
  void add(const std::string& name, const std::string& bytes = ":\n") {
    std::ofstream(cwd_.path() / name, std::ios::binary) << bytes;
    cwdBefore_.insert(name);
  }

 private:
  bench::TempDir cwd_;
  fs::path board_;
  std::set<std::string> boardBefore_;
  std::set<std::string> cwdBefore_;
};

}  // namespace campaign
