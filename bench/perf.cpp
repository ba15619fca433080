// vboard bench: each figure is taken side by side in one run of this program, as the median
// of --runs runs; see perf.h for the groups. Every run has a scratch board and fresh lines.
#include "perf.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "bench.h"
#include "orvix_tools.h"
#include "programmer.h"
#include "standins/mcuload-recorder.h"
#include "standins/xterm-recorder.h"

namespace {

namespace fs = std::filesystem;
namespace programmer = bench::programmer;
using bench::Board;
using bench::RunResult;
using bench::RunSpec;
using bench::SketchPeer;
using bench::slurp;
using bench::waitFor;

const fs::path kHelperDir = PERF_HELPER_DIR;  // minimal_query and peak_rss

using bench::kButtonPin;
using bench::kLoader;
using bench::kResetPin;
using bench::kXterm;
using orvix::kTools;

constexpr std::size_t kMiB = 1 << 20;
// A relay may be this much slower than the minimal C program's before its row fails.
constexpr double kMinRateRatio = 0.5;

// A figure that could not be taken: the run did not go as the exchange expects.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void expect(bool ok, const std::string& what) {
  if (!ok) throw Failure(what);
}

// ---------- figures and the table ----------

double median(std::vector<double> v) {
  expect(!v.empty(), "no figure");
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string duration(double ms) { return std::abs(ms) >= 10000 ? fixed(ms / 1000, 2) + " s" : fixed(ms, 1) + " ms"; }
std::string rate(double bytesPerS) { return fixed(bytesPerS, 0) + " B/s"; }

struct Row {
  std::string what, specified, measured, comparison, goal, result;
};

// Every fixed wait: within 2 % or 5 ms of its specified length, whichever is larger. A wait
// made of `sleeps` sleeps may also run late by kLateWakeMs for each: the machine wakes a
// sleeper a little after its time, the more so when busy, and never before it.
constexpr double kLateWakeMs = 0.5;
Row timingRow(const std::string& what, double specifiedMs, const std::vector<double>& ms, int sleeps = 1) {
  const double m = median(ms), tolerance = std::max(0.02 * specifiedMs, 5.0), late = sleeps * kLateWakeMs;
  return {what,
          duration(specifiedMs),
          duration(m),
          fixed(m / specifiedMs, 3),
          "±" + duration(tolerance) + ", +" + duration(late) + " for " + std::to_string(sleeps) +
              (sleeps == 1 ? " sleep" : " sleeps"),
          m >= specifiedMs - tolerance && m <= specifiedMs + tolerance + late ? "pass" : "fail"};
}

// A terminal's read time-out (VTIME) ends on a tick of the kernel's clock: 4 ms apart at 250
// Hz, 10 ms at 100 Hz. Where a figure holds `timeOuts` of them, the tool's and the C
// program's may each end a tick apart, whatever either does.
constexpr double kTickMs = 10;

// A tool against the minimal C program: the same tolerance, over the program's figure.
Row overheadRow(const std::string& what, const std::vector<double>& toolMs, const std::vector<double>& cMs,
                int timeOuts = 0) {
  const double t = median(toolMs), c = median(cMs), tolerance = std::max(0.02 * c, 5.0) + timeOuts * kTickMs;
  return {what,
          "C: " + duration(c),
          duration(t),
          (t >= c ? "+" : "") + duration(t - c),
          "≤ C + " + duration(tolerance),
          t - c <= tolerance ? "pass" : "fail"};
}

// A relay against the minimal C program doing the same relay in the same run: the ratio of
// their rates, which must not fall below kMinRateRatio.
Row throughputRow(const std::string& what, const std::vector<double>& toolBytesPerS, const std::vector<double>& cBytesPerS) {
  const double t = median(toolBytesPerS), c = median(cBytesPerS), ratio = t / c;
  return {what, "C: " + rate(c), rate(t), fixed(ratio, 2) + "× C", "≥ " + fixed(kMinRateRatio, 2) + "× C",
          ratio >= kMinRateRatio ? "pass" : "fail"};
}

Row idleRow(const std::string& what, const std::vector<double>& msPerMinute) {
  const double m = median(msPerMinute);
  return {what, "—", fixed(m, 1) + " ms/min", fixed(m / 600, 3) + " % of a CPU", "—", "info"};
}

Row footprintRow(const std::string& what, const std::vector<double>& kib) {
  return {what, "—", fixed(median(kib), 1) + " KiB", "—", "—", "info"};
}

std::string markdown(const std::vector<Row>& rows, int runs) {
  std::string out = "| Measure | Specified | Measured (median of " + std::to_string(runs) + (runs == 1 ? " run" : " runs") +
                    ") | Ratio or comparison | Goal | Result |\n|---|---|---|---|---|---|\n";
  for (const Row& r : rows)
    out += "| " + r.what + " | " + r.specified + " | " + r.measured + " | " + r.comparison + " | " + r.goal + " | " +
           r.result + " |\n";
  return out;
}

// ---------- runs on the bench ----------

double msBetween(std::int64_t fromUs, std::int64_t toUs) { return static_cast<double>(toUs - fromUs) / 1000; }

// How a run ended and the start of what it printed, for the message when a figure fails.
std::string said(const RunResult& r) {
  std::string how = r.timedOut ? "killed after its time limit"
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

constexpr int kRunMs = 20000;  // a run's time limit, unless it says otherwise

RunSpec runSpec(std::vector<std::string> argv, int timeoutMs = kRunMs) {
  RunSpec s;
  s.argv = std::move(argv);
  s.timeoutMs = timeoutMs;
  return s;
}

using Script = std::function<void(SketchPeer&)>;

struct Exchange {
  RunResult run;
  std::vector<SketchPeer::Received> heard;  // what the sketch read, and when
  std::vector<std::int64_t> sent;           // when each piece of the sketch's went out
  std::string heardBytes;
};

// Runs `s` with `device` bound to a fresh line, on whose far side a sketch follows `script`. The
// line is raw, so the sketch hears exactly the tool's bytes and the tool reads the sketch's as
// sent; fresh, since the tools leave their settings on it.
Exchange exchange(const Board& board, RunSpec s, const std::string& device, const Script& script) {
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

// The reset line's levels as the tool wrote them: low, high, low.
std::vector<simboard::TraceEvent> pulse(const Board& board, const std::string& tool) {
  const auto w = events(board, "gpio-write", kResetPin);
  expect(w.size() == 3 && w[0].args[1] == 0 && w[1].args[1] == 1 && w[2].args[1] == 0,
         tool + ": GPIO 23 was not driven low, high, low (" + std::to_string(w.size()) + " writes)");
  return w;
}

// A group signal: it reaches the tool also when a helper runs it.
void stopGroup(const bench::Process& p) { kill(-p.pid(), SIGTERM); }

bool windowUp(const Board& board) { return bench::window::up(board.dir()); }

RunSpec bridgeSpec(std::vector<std::string> argv) {
  RunSpec s = runSpec(std::move(argv));
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

// `n` runs of `sample`, which gives the same figures each time: one series per figure.
std::vector<std::vector<double>> repeat(int n, const std::function<std::vector<double>()>& sample) {
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
using Figures = std::vector<std::vector<double>>;
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

// ---------- the measurements ----------

class Perf {
 public:
  Perf(int runs, bool quick, bool check) : runs_(runs), quick_(quick), check_(check) {}

  int run() {
    std::optional<bench::ScratchBoard> wholeBoard;
    std::optional<bench::Process> whole;
    if (!quick_) {  // 100 s of sleeping: it runs beside everything else
      wholeBoard.emplace();
      whole.emplace(**wholeBoard, runSpec({"buttonwatch"}, 130000));
    }
    timing();
    const std::size_t wholeRow = rows_.size();
    if (whole) rows_.emplace_back();
    overhead();
    throughput();
    idle();
    footprint();
    if (whole) {
      section("buttonwatch: whole run", [&] {
        note("waiting for the end of buttonwatch's whole run");
        const RunResult r = whole->wait();
        expect(r.out == "Fine!\n" && r.status == 0 && !r.outChunks.empty(), "buttonwatch: " + said(r));
        expect(events(wholeBoard->get(), "gpio-read", kButtonPin).size() == 1000, "buttonwatch: not 1000 reads");
        // Its end is its last line: the bench notes the exit only now, after the other groups.
        const double ms = msBetween(r.startUs, r.outChunks.back().first);
        rows_.push_back(timingRow("buttonwatch: whole run, start to \"Fine!\" (1000 polls; one run)", 100000, {ms}, 1000));
      });
      rows_[wholeRow] = rows_.back();
      rows_.pop_back();
    }
    std::cout << markdown(rows_, runs_) << std::flush;
    if (check_) {
      int fails = 0;
      for (const Row& r : rows_)
        if (r.result == "fail") {
          note("fail: " + r.what + ": " + r.measured + " (goal " + r.goal + ")");
          ++fails;
        }
      if (fails > 0) {
        note(std::to_string(fails) + (fails == 1 ? " figure misses its goal" : " figures miss their goals"));
        return 1;
      }
    }
    return failed_ ? 1 : 0;
  }

 private:
  static void note(const std::string& what) { std::cerr << "vboard bench: " << what << '\n'; }

  // A group of rows; if a figure of it cannot be taken, one row says why, and the rest go on.
  void section(const std::string& name, const std::function<void()>& body) {
    note(name);
    try {
      body();
    } catch (const std::exception& e) {
      rows_.push_back({name, "—", "n/a", "—", "—", std::string("error: ") + e.what()});
      failed_ = true;
    }
  }

  void add(Row r) { rows_.push_back(std::move(r)); }

  void timing() {
    section("timing: mcuflash", [&] {
      programmer::Fixture f;
      // The line's low phase, and the time from its rise to the programmer's start.
      auto upload = [&](std::vector<std::string> argv) {
        RunSpec r = f.uploadSpec(std::move(argv));
        r.timeoutMs = kRunMs;
        const RunResult res = f.upload(r);
        expect(res.status == 0, "mcuflash: " + said(res));
        const auto w = pulse(*f.board, "mcuflash");
        const auto ups = f.uploads();
        expect(ups.size() == 1, "mcuflash: the programmer did not start once");
        return std::pair{msBetween(w[0].us, w[1].us), msBetween(w[1].us, ups[0].startUs)};
      };
      // The rise to the start holds the programmer's fork and exec besides the sinc wait, and
      // they take what the machine's load makes them: a run with sinc 0 right after each
      // default run (sinc 2 ms) takes them out.
      const auto s = repeat(runs_, [&] {
        const auto [low, raised] = upload({"mcuflash", programmer::kSketchFile});
        const auto [low0, raised0] = upload({"mcuflash", programmer::kSketchFile, "0"});
        return std::vector<double>{low, raised - raised0};
      });
      add(timingRow("mcuflash: reset line low before raising", 100, s[0]));
      add(timingRow("mcuflash: sinc, raised to programmer start (less the same with sinc 0)", 2, s[1]));
    });
    section("timing: boardflash", [&] {
      programmer::Fixture f;
      const auto s = repeat(runs_, [&] {
        RunSpec r = f.uploadSpec({"boardflash", programmer::kSketchFile});
        r.timeoutMs = kRunMs;
        const RunResult res = f.upload(r);
        expect(res.out == "Uploaded!\n" && res.status == 0, "boardflash: " + said(res));
        const auto w = pulse(*f.board, "boardflash");
        return std::vector<double>{msBetween(w[0].us, w[1].us)};
      });
      add(timingRow("boardflash: reset line low before raising", 500, s[0]));
    });
    section("timing: mcureset", [&] {
      bench::ScratchBoard board;
      const auto s = repeat(runs_, [&] {
        board->clearTrace();
        const RunResult res = bench::run(*board, runSpec({"mcureset"}));
        expect(res.out == "Orvix reset!\n" && res.status == 0, "mcureset: " + said(res));
        const auto w = pulse(*board, "mcureset");
        return std::vector<double>{msBetween(w[0].us, w[1].us), msBetween(w[1].us, w[2].us)};
      });
      add(timingRow("mcureset: reset line low", 500, s[0]));
      add(timingRow("mcureset: reset line high", 500, s[1]));
    });
    section("timing: sketchcheck and sketchquery", [&] {
      bench::ScratchBoard board;
      for (const std::string tool : {"sketchcheck", "sketchquery"}) {
        const std::string out = tool == "sketchcheck" ? "NO\n" : "";
        const int status = tool == "sketchcheck" ? 1 : 0;
        const auto s = repeat(runs_, [&] {
          const Exchange x = exchange(*board, runSpec({tool, "LinkTest"}), "/dev/ttyS0", silent);
          expect(x.run.out == out && x.run.status == status, tool + ": " + said(x.run));
          return std::vector<double>{x.run.seconds * 1000};
        });
        add(timingRow(tool + ": no answer, start to end (0.1 s of discarding, 200 polls 10 ms apart)", 2100, s[0], 201));
      }
    });
    section("timing: whichsketch", [&] {
      bench::ScratchBoard board;
      const auto s = repeat(runs_, [&] {
        const Exchange x = exchange(*board, runSpec({"whichsketch"}), "/dev/ttyS0", silent);
        expect(x.run.out == "NO replay\n" && !x.heard.empty(), "whichsketch: " + said(x.run));
        return std::vector<double>{msBetween(x.heard.front().us, x.run.endUs)};
      });
      add(timingRow("whichsketch: no answer, query to end", 1000, s[0]));
    });
    section("timing: pinwait", [&] {
      bench::ScratchBoard board;
      const auto s = repeat(runs_, [&] {
        bench::loader::forget(board->dir());
        RunSpec r = runSpec({"pinwait", "-dig", "6", "1"});
        r.files[kLoader] = bench::standInDir() / bench::loader::kProgram;
        const Exchange x = exchange(*board, r, "/dev/ttyAMA0", silent);
        expect(x.run.status == 254 && x.run.out.starts_with("\nNo sketch ") && !x.heard.empty() &&
                   !x.run.outChunks.empty(),
               "pinwait: " + said(x.run));
        const auto calls = bench::loader::calls(board->dir());
        expect(!calls.empty(), "pinwait: the loader did not start");
        const std::int64_t announcedUs = x.run.outChunks.front().first;
        return std::vector<double>{msBetween(x.heard.front().us, announcedUs), msBetween(announcedUs, calls[0].us)};
      });
      add(timingRow("pinwait: no identity answer, query to announcement", 500, s[0]));
      add(timingRow("pinwait: announcement to loader start (closeSer's pause, with the shell's start)", 1000, s[1]));
    });
    section("timing: buttonwatch", [&] {
      bench::ScratchBoard board;
      const auto s = repeat(runs_, [&] {
        board->clearTrace();
        bench::Process p(*board, runSpec({"buttonwatch"}));
        std::this_thread::sleep_for(std::chrono::milliseconds(quick_ ? 1000 : 2000));
        stopGroup(p);
        p.wait();
        const auto reads = events(*board, "gpio-read", kButtonPin);
        expect(reads.size() >= 5, "buttonwatch: only " + std::to_string(reads.size()) + " reads of GPIO 24");
        return std::vector<double>{msBetween(reads.front().us, reads.back().us) / static_cast<double>(reads.size() - 1)};
      });
      add(timingRow("buttonwatch: poll period (reads of GPIO 24)", 100, s[0]));
    });
    section("timing: termbridge", [&] {
      const auto s = repeat(runs_, [&] {
        bench::ScratchBoard board;
        bench::Process p(*board, bridgeSpec({"termbridge"}));
        expect(waitFor([&] { return windowUp(*board); }, 5000), "termbridge: the window did not start");
        p.write("one\ntwo\n");
        expect(waitFor([&] { return bench::window::shown(board->dir()).find("two") != std::string::npos; }, 3000),
               "termbridge: the lines did not reach the window");
        stopGroup(p);
        p.wait();
        // The read of the window that completed each line.
        const std::string text = bench::window::shown(board->dir());
        expect(text.find("one") < text.find("two"), "termbridge: the window showed \"" + text + "\"");
        const std::size_t endOne = text.find("one") + 3, endTwo = text.find("two") + 3;
        std::int64_t oneUs = -1, twoUs = -1;
        std::size_t seen = 0;
        for (const auto& [us, n] : bench::window::reads(board->dir())) {
          seen += n;
          if (oneUs < 0 && seen >= endOne) oneUs = us;
          if (twoUs < 0 && seen >= endTwo) twoUs = us;
        }
        expect(oneUs > 0 && twoUs > 0, "termbridge: the window's reads are not recorded");
        return std::vector<double>{msBetween(oneUs, twoUs)};
      });
      add(timingRow("termbridge: one pass (two lines piped in, apart in the window)", 50, s[0]));
    });
  }

  struct Serial {
    std::string tool, device;
    std::vector<std::string> toolArgv, cArgv;
    Script script;
    std::string out;  // what the tool and the C program both print
    std::string first, last;
    int firstTimeOuts = 0, lastTimeOuts = 0;  // read time-outs within each figure
  };

  void overhead() {
    const std::string minimal = (kHelperDir / "minimal_query").string();
    const std::vector<Serial> exchanges = {
        {"sketchcheck", "/dev/ttyS0", {"sketchcheck", "LinkTest"}, {minimal, "sketchcheck", "LinkTest"}, linkTest,
         "YES\n", "start to first byte on the line (after 0.1 s of discarding)",
         "last answer byte to end (after 0.1 s of silence)", 1, 1},
        {"sketchquery", "/dev/ttyS0", {"sketchquery", "?"}, {minimal, "sketchquery", "?"}, linkTest, "LinkTest\r\n",
         "start to first byte on the line (after 0.1 s of discarding)",
         "last answer byte to end (after 0.1 s of silence)", 1, 1},
        {"sketchqueryblock", "/dev/ttyS0", {"sketchqueryblock", "?"}, {minimal, "sketchqueryblock", "?"}, linkTest,
         "LinkTest\n", "start to first byte on the line (after 0.1 s of discarding)",
         "last answer byte to end (polled every 10 ms)", 1, 0},
        {"whichsketch", "/dev/ttyS0", {"whichsketch"}, {minimal, "whichsketch"}, linkTest, "LinkTest\n\n",
         "start to first byte on the line", "last answer byte to end"},
        {"pinwait", "/dev/ttyAMA0", {"pinwait", "-dig", "6", "1"}, {minimal, "pinwait-dig", "6", "1"},
         [](SketchPeer& p) { p.onLine("?", "WaitSketch\r\n").onLine("INTD6=1", "OK\r\n"); }, "OK Pin changed!\n",
         "start to first byte on the line", "last answer byte (\"OK\") to end"},
        {"cmdlistener", "/dev/ttyS0", {"cmdlistener"}, {minimal, "cmdlistener-resp"},
         [](SketchPeer& p) { p.sendAt(0, "$$$Resp \n").onLine("", "$$$Cend \n"); },
         "Intercepting commands from serial port...\n  format: $$$Ardu command... 'lf'\n<GetAnswer\n>\n<End>\n",
         "start to first byte on the line (\"$$$Resp \" waiting)", "\"$$$Cend \" sent to end"},
    };
    section("overhead: sketchcheck without an answer", [&] {
      // The bounded wait counts polls, not time: a plain C loop shows what 200 sleeps cost here.
      bench::ScratchBoard board;
      auto once = [&](const std::vector<std::string>& argv) {
        const Exchange x = exchange(*board, runSpec(argv), "/dev/ttyS0", silent);
        expect(x.run.out == "NO\n" && x.run.status == 1, argv[0] + ": " + said(x.run));
        return std::vector<double>{x.run.seconds * 1000};
      };
      const auto [tool, c] = inTurns(runs_, [&] { return once({"sketchcheck", "LinkTest"}); },
                                     [&] { return once({minimal, "sketchcheck", "LinkTest"}); });
      add(overheadRow("sketchcheck: whole run without an answer (200 polls 10 ms apart)", tool[0], c[0], 1));
    });
    for (const Serial& e : exchanges) {
      section("overhead: " + e.tool, [&] {
        bench::ScratchBoard board;
        auto once = [&](const std::vector<std::string>& argv) {
          const Exchange x = exchange(*board, runSpec(argv), e.device, e.script);
          expect(x.run.out == e.out && !x.heard.empty() && !x.sent.empty(),
                 (argv[0] == e.tool ? e.tool : "minimal_query " + e.tool) + ": " + said(x.run));
          return std::vector<double>{msBetween(x.run.startUs, x.heard.front().us), msBetween(x.sent.back(), x.run.endUs)};
        };
        const auto [tool, c] = inTurns(runs_, [&] { return once(e.toolArgv); }, [&] { return once(e.cArgv); });
        add(overheadRow(e.tool + ": " + e.first, tool[0], c[0], e.firstTimeOuts));
        add(overheadRow(e.tool + ": " + e.last, tool[1], c[1], e.lastTimeOuts));
      });
    }
  }

  // 1 MiB relayed by the tool and by the minimal C program doing the same relay, in turns.
  void throughput() {
    // Lines of 63 letters and a line end; the last one marks the end: 1 MiB in all.
    const std::string body(63, 'x'), mark = "END" + std::string(60, 'x');
    const std::size_t lines = kMiB / 64;
    std::string payload;
    for (std::size_t i = 0; i + 1 < lines; ++i) payload += body + "\n";
    payload += mark + "\n";
    const std::string minimal = (kHelperDir / "minimal_query").string();

    section("throughput: sketchquery", [&] {
      bench::ScratchBoard board;
      auto once = [&](const std::vector<std::string>& argv) {
        const Exchange x = exchange(*board, runSpec(argv, 120000), "/dev/ttyS0",
                                    [&](SketchPeer& p) { p.onLine("?", payload); });
        expect(x.run.out == payload && !x.sent.empty(),
               argv[0] + " copied " + std::to_string(x.run.out.size()) + " bytes of the 1 MiB answer");
        return std::vector<double>{static_cast<double>(kMiB) * 1000 / msBetween(x.sent.front(), x.run.outChunks.back().first)};
      };
      const auto [tool, c] = inTurns(runs_, [&] { return once({"sketchquery", "?"}); },
                                     [&] { return once({minimal, "sketchquery", "?"}); });
      add(throughputRow("sketchquery: 1 MiB answer relayed to standard output", tool[0], c[0]));
    });
    section("throughput: cmdlistener", [&] {
      bench::ScratchBoard board;
      const std::string command = "$$$Ardu yes " + body + " | head -n " + std::to_string(lines - 1) + "; echo " + mark + "\n";
      auto once = [&](const std::vector<std::string>& argv) {
        const Exchange x = exchange(*board, runSpec(argv, 120000), "/dev/ttyS0", [&](SketchPeer& p) {
          p.sendAt(0, command).onLine("OK", "$$$Resp \n").onLine(mark, "$$$Cend \n");
        });
        expect(x.run.status == 0 && x.sent.size() == 3, argv[0] + ": " + said(x.run));
        // What came back after "OK".
        const std::size_t from = x.heardBytes.find("OK\n");
        expect(from != std::string::npos, argv[0] + " did not answer \"OK\"");
        const std::string relayed = x.heardBytes.substr(from + 3);
        expect(relayed == payload, argv[0] + " relayed " + std::to_string(relayed.size()) + " bytes of 1 MiB");
        // When the sketch read the end of the mark's line.
        const std::size_t end = x.heardBytes.rfind(mark) + mark.size();
        std::size_t seen = 0;
        std::int64_t doneUs = -1;
        for (const auto& got : x.heard) {
          seen += got.bytes.size();
          if (seen >= end) {
            doneUs = got.us;
            break;
          }
        }
        expect(doneUs > 0, argv[0] + ": the end of the output is not in the record");
        return std::vector<double>{static_cast<double>(kMiB) * 1000 / msBetween(x.sent[1], doneUs)};
      };
      const auto [tool, c] = inTurns(runs_, [&] { return once({"cmdlistener"}); },
                                     [&] { return once({minimal, "cmdlistener-relay"}); });
      add(throughputRow("cmdlistener: 1 MiB of command output relayed to the line", tool[0], c[0]));
    });
  }

  void idle() {
    const int windowMs = quick_ ? 2000 : 10000;
    const std::string over = " (over " + std::to_string(windowMs / 1000) + " s)";
    section("idle cost", [&] {
      const auto s = repeat(runs_, [&] {
        bench::ScratchBoard board;
        bench::Line queryLine, waitLine;
        queryLine.setRaw();
        waitLine.setRaw();
        SketchPeer waitSketch(waitLine);
        waitSketch.onLine("?", "WaitSketch\r\n");  // and never an answer to the wait
        waitSketch.start();
        RunSpec query = runSpec({"sketchqueryblock", "?"}, windowMs + 30000);
        query.lines["/dev/ttyS0"] = queryLine.slavePath();
        RunSpec pinwait = runSpec({"pinwait", "-dig", "6", "1"}, windowMs + 30000);
        pinwait.lines["/dev/ttyAMA0"] = waitLine.slavePath();
        RunSpec bridge = bridgeSpec({"termbridge"});
        bridge.timeoutMs = windowMs + 30000;
        bench::Process pq(*board, query), pw(*board, pinwait), pb(*board, bridge);
        expect(waitSketch.waitReceived("INTD6=1", 5000), "pinwait did not send its wait");
        expect(waitFor([&] { return windowUp(*board); }, 5000), "termbridge: the window did not start");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // sketchqueryblock past its discarding
        std::vector<bench::Process*> all = {&pq, &pw, &pb};
        std::vector<std::int64_t> before;
        for (auto* p : all) before.push_back(cpuNs(p->pid()));
        const std::int64_t fromUs = simboard::monotonicMicros();
        std::this_thread::sleep_for(std::chrono::milliseconds(windowMs));
        std::vector<double> perMinute;
        const double minutes = msBetween(fromUs, simboard::monotonicMicros()) / 60000;
        for (std::size_t i = 0; i < all.size(); ++i) {
          expect(all[i]->running(), "a waiting tool ended");
          perMinute.push_back(static_cast<double>(cpuNs(all[i]->pid()) - before[i]) / 1e6 / minutes);
        }
        waitSketch.stop();
        return perMinute;
      });
      add(idleRow("sketchqueryblock: CPU time while waiting for an answer (polls every 10 ms)" + over, s[0]));
      add(idleRow("pinwait: CPU time while waiting for the pin (blocking read)" + over, s[1]));
      add(idleRow("termbridge: CPU time while idle (a pass every 50 ms)" + over, s[2]));
    });
  }

  struct Job {
    std::vector<std::string> argv{};
    std::string device{};  // empty: no serial line
    Script script = silent;
    int stopAfterMs = 0;  // for the tools that run on: stopped by SIGTERM then
  };

  // The tool's peak resident memory in KiB over one typical run, through peak_rss.
  double peakKib(bench::Board& board, const fs::path& work, const Job& job) {
    const fs::path record = board.dir() / "peak-rss";
    fs::remove(record);
    RunSpec s = programmer::recorded(runSpec({(kHelperDir / "peak_rss").string()}));
    s.argv.insert(s.argv.end(), job.argv.begin(), job.argv.end());
    s.cwd = work;
    s.keepInputOpen = true;
    // LeakSanitizer stops the program's threads with ptrace at its end, which it cannot do
    // to a program that is traced already.
    s.env = {"ASAN_OPTIONS=detect_leaks=0"};
    s.files[kXterm] = bench::standInDir() / bench::window::kProgram;
    std::optional<bench::Line> line;
    std::optional<SketchPeer> peer;
    if (!job.device.empty()) {
      line.emplace();
      line->setRaw();
      s.lines[job.device] = line->slavePath();
      peer.emplace(*line);
      job.script(*peer);
      peer->start();
    }
    bench::Process p(board, s);
    if (job.stopAfterMs > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(job.stopAfterMs));
      stopGroup(p);
    }
    const RunResult r = p.wait();
    double kib = -1;
    std::ifstream(record) >> kib;
    expect(kib > 0, job.argv[0] + ": no peak memory recorded (" + said(r) + ")");
    return kib;
  }

  void footprint() {
    const Script cmd = [](SketchPeer& p) {
      p.sendAt(0, "$$$Ardu echo hi\n").onLine("OK", "$$$Resp \n").onLine("hi", "$$$Cend \n");
    };
    const Script waitSketch = [](SketchPeer& p) { p.onLine("?", "WaitSketch\r\n").onLine("INTD6=1", "OK\r\n"); };
    const std::map<std::string, Job> jobs = {
        {"clockshow", {{"clockshow"}}},
        {"clocksync", {{"clocksync"}}},
        {"clockprobe", {{"clockprobe"}}},
        {"rtcpeek", {{"rtcpeek"}}},
        {"alarmclear", {{"alarmclear"}}},
        {"sketchcheck", {{"sketchcheck", "LinkTest"}, "/dev/ttyS0", linkTest}},
        {"sketchquery", {{"sketchquery", "?"}, "/dev/ttyS0", linkTest}},
        {"sketchqueryblock", {{"sketchqueryblock", "?"}, "/dev/ttyS0", linkTest}},
        {"whichsketch", {{"whichsketch"}, "/dev/ttyS0", linkTest}},
        {"cmdlistener", {{"cmdlistener"}, "/dev/ttyS0", cmd}},
        {"pinwait", {{"pinwait", "-dig", "6", "1"}, "/dev/ttyAMA0", waitSketch}},
        {"mcuflash", {{"mcuflash", programmer::kSketchFile}}},
        {"boardflash", {{"boardflash", programmer::kSketchFile}}},
        {"mcureset", {{"mcureset"}}},
        {"buttonwatch", {{"buttonwatch"}, "", silent, 1000}},
        {"termbridge", {{"termbridge"}, "", silent, 500}},
    };
    bench::TempDir stripped;
    for (const std::string& tool : kTools) {
      section("footprint: " + tool, [&] {
        const fs::path copy = stripped.path() / tool;
        fs::copy_file(bench::toolDir() / tool, copy, fs::copy_options::overwrite_existing);
        const bench::ScratchBoard host;  // strip needs no board; the bench runs nothing without one
        const RunResult r = bench::run(host.get(), runSpec({"strip", copy.string()}));
        expect(r.status == 0, "strip " + tool + ": " + said(r) + " " + r.err);
        add(footprintRow(tool + ": stripped size", {static_cast<double>(fs::file_size(copy)) / 1024}));

        programmer::Fixture f;
        // A program with no typical run here yet: started alone, stopped after a second.
        const Job job = jobs.count(tool) ? jobs.at(tool) : Job{{tool}, "", silent, 1000};
        const auto s = repeat(runs_, [&] { return std::vector<double>{peakKib(*f.board, f.work.path(), job)}; });
        add(footprintRow(tool + ": peak resident memory (VmHWM)", s[0]));
      });
    }
  }

  int runs_;
  bool quick_;
  bool check_;
  bool failed_ = false;
  std::vector<Row> rows_;
};

int badArgument(const std::string& why) {
  std::cerr << "vboard: " << why << "\nTry 'vboard --help'.\n";
  return 2;
}

}  // namespace

int benchCommand(const std::vector<std::string>& args) {
  int runs = 5;
  bool quick = false, check = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--quick") {
      quick = true;
    } else if (args[i] == "--check") {
      check = true;
    } else if (args[i] == "--runs") {
      if (i + 1 == args.size()) return badArgument("--runs needs a value");
      const std::string& n = args[++i];
      if (n.empty() || n.size() > 4 || !std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
          std::stoi(n) < 1)
        return badArgument("--runs takes a number of runs from 1 to 9999, not '" + n + "'");
      runs = std::stoi(n);
    } else {
      return badArgument("unknown bench option " + args[i]);
    }
  }
  for (const std::string& tool : kTools)
    if (!fs::exists(bench::toolDir() / tool)) {
      std::cerr << "vboard bench: " << tool << " is not built (looked in " << bench::toolDir().string() << ")\n";
      return 1;
    }
  for (const char* helper : {"minimal_query", "peak_rss"})
    if (!fs::exists(kHelperDir / helper)) {
      std::cerr << "vboard bench: " << helper << " is not built (looked in " << kHelperDir.string() << ")\n";
      return 1;
    }
  return Perf(runs, quick, check).run();
}
