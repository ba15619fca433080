// vboard run: a tool on the board, as a Pi that orvix-setup has set up, with a scripted
// sketch on its serial lines or the board's running microcontroller.
#include <signal.h>

#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench.h"
#include "vboard.h"

namespace fs = std::filesystem;

namespace vboard {
namespace {

constexpr int kMaxTimeoutS = 86400;  // a day: longer is a mistake, and would overflow in milliseconds

// While a tool runs, the signals that would end vboard go on to the tool's process group:
// killing vboard ends the tool, and vboard still cleans up after it. Until the tool is
// known they wait, blocked in every thread of vboard's.
class PassSignalsOn {
 public:
  PassSignalsOn() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kSignals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &old_);
    struct sigaction action {};
    action.sa_handler = passOn;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int sig : kSignals) sigaction(sig, &action, nullptr);
  }
  ~PassSignalsOn() { group_ = 0; }
  PassSignalsOn(const PassSignalsOn&) = delete;
  PassSignalsOn& operator=(const PassSignalsOn&) = delete;

  void to(pid_t group) {
    group_ = group;
    sigprocmask(SIG_SETMASK, &old_, nullptr);
  }
  // The tool has ended: a signal now would find its group gone, or another's.
  void stop() { group_ = 0; }

 private:
  static constexpr int kSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2};
  static void passOn(int sig) {
    if (group_ > 0) kill(-group_, sig);
  }
  static inline volatile sig_atomic_t group_ = 0;
  sigset_t old_{};
};

}  // namespace

int runTool(const fs::path& boardDir, std::vector<std::string> args) {
  bench::RunOptions runOptions;
  runOptions.inheritStdio = true;
  runOptions.timeoutMs = 0;
  std::vector<std::string> names;
  std::vector<std::pair<std::string, std::string>> answers;
  bool raw = false, showLine = false, scratch = false, bare = false;
  std::size_t i = 0;
  for (; i < args.size() && args[i] != "--"; ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) usage(a + " needs a value");
      return args[++i];
    };
    if (a == "--line") names = split(value(), ',');
    else if (a == "--answer") {
      const std::string v = value();
      const auto eq = v.find('=');
      if (eq == std::string::npos) usage("--answer takes LINE=BYTES");
      answers.emplace_back(v.substr(0, eq), unescape(v.substr(eq + 1)));
    } else if (a == "--raw") raw = true;
    else if (a == "--show-line") showLine = true;
    else if (a == "--file") {
      const std::string v = value();
      const auto eq = v.find('=');
      if (eq == std::string::npos) usage("--file takes PATH=FILE");
      runOptions.files[v.substr(0, eq)] = fs::absolute(v.substr(eq + 1));
    } else if (a == "--bare") bare = true;
    else if (a == "--no-standins") runOptions.standIns = false;
    else if (a == "--timeout") runOptions.timeoutMs = numberIn(value(), 1, kMaxTimeoutS, "--timeout") * 1000;
    else if (a == "--scratch") scratch = true;
    else usage("unknown run option " + a);
  }
  if (i + 1 >= args.size()) usage("run needs -- TOOL [ARGS...]");
  runOptions.argv.assign(args.begin() + static_cast<long>(i) + 1, args.end());
  if (!bare)
    for (const auto& [path, file] : bench::setUpPi()) runOptions.files.emplace(path, file);  // --file comes first

  PassSignalsOn signals;  // before the sketch's thread starts, so that it inherits the block
  std::optional<bench::ScratchBoard> scratchBoard;
  std::optional<bench::Board> named;
  if (scratch) scratchBoard.emplace();
  else named.emplace(bench::Board::create(boardDir));
  const bench::Board& board = scratch ? scratchBoard->get() : *named;

  std::optional<bench::Line> line;
  std::optional<bench::SketchPeer> peer;
  if (!names.empty()) {
    line.emplace();
    if (raw) line->setRaw();
    for (const auto& n : names) runOptions.lines[n] = line->slavePath();
    peer.emplace(*line);
    for (const auto& [l, bytes] : answers) peer->onLine(l, bytes);
    peer->start();
  } else if (const auto chip = scratch ? std::nullopt : runningChip(boardDir)) {
    for (const auto& n : bench::kSerialNames) runOptions.lines[n] = chip->port;
  }
  bench::Process tool(board, std::move(runOptions));
  signals.to(tool.pid());
  const bench::RunResult r = tool.wait();
  signals.stop();
  if (peer) {
    peer->stop();
    if (showLine) std::cerr << "line: " << escape(peer->receivedBytes()) << '\n';
  }
  if (r.timedOut) {
    std::cerr << "vboard: " << args[i + 1] << " stopped after its time limit\n";
    return 124;
  }
  return r.signal ? 128 + r.signal : r.status;
}

}  // namespace vboard
