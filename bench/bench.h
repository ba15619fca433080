// The bench: a virtual Pi with the Orvix board, for tests and for people.
//
//   ScratchBoard            a board in a temporary directory, removed at the end
//   Line                    a pseudo-terminal standing for a serial line; the bench holds both sides,
//                           and a test may set it plain or raw before a tool opens it, or hang it up
//   SketchPeer              a scripted sketch on the far side of a Line, on its own thread; a test
//                           may also drive it by hand: send, flood, wait until the tool has read
//                           it all, and vanish
//   RunOptions / Process       a tool run as a child in a private mount namespace: the board's fixed
//                           paths, serial names bound to Lines, outside programs bound or absent,
//                           stand-ins for sudo and date first on PATH and over the system's own,
//                           no power to set the clock; output captured, time-limited
//   setUpPi()               the outside programs as orvix-setup links them on a Pi
//   run()                   Process started and waited for
//   slurp(file)             a file's bytes
//   waitFor(ready, ms)      polls a condition until it holds or the time is up
//
// The board's own state (clock, GPIO, trace) is simboard::Board.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "board.h"

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

}  // namespace bench
