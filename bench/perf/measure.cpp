// How vboard bench takes its figures: see measure.h.
#include "measure.h"

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "standins/xterm-recorder.h"

namespace perf {

using bench::kResetPin;
using bench::kXterm;
using bench::slurp;

std::string said(const RunResult& r) {
  std::string how = r.timedOut ? "stopped after its time limit"
                    : r.signal ? "ended by signal " + std::to_string(r.signal)
                               : "status " + std::to_string(r.status);
  std::string text;
  for (unsigned char c : r.out.substr(0, 60)) {
    if (c == '\n')
      text += "\\n";
    else if (c == '\r')
      text += "\\r";
    else if (c < 0x20 || c >= 0x7F)
      text += '?';
    else
      text += static_cast<char>(c);
  }
  return how + ", printed \"" + text + (r.out.size() > 60 ? "...\"" : "\"");
}

RunOptions runOptions(std::vector<std::string> argv, int timeoutMs) {
  RunOptions s;
  s.argv = std::move(argv);
  s.timeoutMs = timeoutMs;
  return s;
}

// The line is raw, so that the sketch hears exactly the tool's bytes and the tool reads the
// sketch's as sent; fresh, since the tools leave their settings on it.
Exchange exchange(const Board& board, RunOptions s, const std::string& device, const Script& script) {
  bench::Line line;
  line.setRaw();
  s.lines[device] = line.slavePath();
  SketchPeer peer(line);
  script(peer);
  peer.start();
  Exchange x;
  x.run = bench::run(board, std::move(s));
  peer.stop();
  x.heard = peer.received();
  x.sent = peer.sentTimes();
  x.heardBytes = peer.receivedBytes();
  return x;
}

void silent(SketchPeer&) {}

void linkTest(SketchPeer& p) { p.onLine("?", "LinkTest\r\n"); }

std::vector<simboard::TraceEvent> events(const Board& board, const std::string& op, int pin) {
  std::vector<simboard::TraceEvent> found;
  for (const auto& e : board.trace())
    if (e.op == op && !e.args.empty() && e.args[0] == pin) found.push_back(e);
  return found;
}

std::vector<simboard::TraceEvent> pulse(const Board& board, const std::string& tool) {
  const auto w = events(board, "gpio-write", kResetPin);
  expect(w.size() == 3 && w[0].args[1] == 0 && w[1].args[1] == 1 && w[2].args[1] == 0,
         tool + ": GPIO 23 was not driven low, high, low (" + std::to_string(w.size()) + " writes)");
  return w;
}

void stopGroup(const bench::Process& p) { kill(-p.pid(), SIGTERM); }

bool windowUp(const Board& board) { return bench::window::up(board.dir()); }

RunOptions bridgeOptions(std::vector<std::string> argv) {
  RunOptions s = runOptions(std::move(argv));
  s.keepInputOpen = true;
  s.files[kXterm] = bench::standInDir() / bench::window::kProgram;
  return s;
}

// CPU time the process has used, in nanoseconds: the scheduler's exact count where the
// kernel keeps one, else user and system time in clock ticks. The tools are single-threaded.
std::int64_t cpuNs(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::int64_t ns = -1;
  if (std::ifstream(proc + "/schedstat") >> ns) return ns;
  const std::string stat = slurp(proc + "/stat");
  const auto close = stat.rfind(')');
  expect(close != std::string::npos, "no /proc entry for pid " + std::to_string(pid));
  std::istringstream fields(stat.substr(close + 1));
  const std::vector<std::string> f((std::istream_iterator<std::string>(fields)), std::istream_iterator<std::string>());
  expect(f.size() > 12, "short /proc stat for pid " + std::to_string(pid));
  return (std::stoll(f[11]) + std::stoll(f[12])) * 1'000'000'000LL / sysconf(_SC_CLK_TCK);
}

Figures repeat(int n, const std::function<std::vector<double>()>& sample) {
  std::vector<std::vector<double>> series;
  for (int i = 0; i < n; ++i) {
    const auto figures = sample();
    series.resize(figures.size());
    for (std::size_t k = 0; k < figures.size(); ++k) series[k].push_back(figures[k]);
  }
  return series;
}

// `n` runs each of the tool and of the C program, in turns (each first every other time), so
// that the machine's load falls on both alike: one series per figure of each.
std::pair<Figures, Figures> inTurns(int n, const std::function<std::vector<double>()>& tool,
                                    const std::function<std::vector<double>()>& c) {
  std::vector<std::vector<double>> toolRuns, cRuns;
  for (int i = 0; i < n; ++i) {
    if (i % 2 == 0) toolRuns.push_back(tool());
    cRuns.push_back(c());
    if (i % 2 == 1) toolRuns.push_back(tool());
  }
  auto series = [](const std::vector<std::vector<double>>& runs) {
    Figures s(runs.front().size());
    for (const auto& figures : runs)
      for (std::size_t k = 0; k < figures.size(); ++k) s[k].push_back(figures[k]);
    return s;
  };
  return {series(toolRuns), series(cRuns)};
}

}  // namespace perf
