// vboard bench, what the tools cost: CPU time while they wait, and their size and peak memory.
#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <thread>

#include "measure.h"
#include "orvix_tools.h"
#include "bench.h"
#include "standins/xterm-recorder.h"

namespace perf {

namespace fs = std::filesystem;
namespace programmer = bench::programmer;
using bench::kXterm;
using bench::waitFor;
using orvix::kTools;

namespace {

// Ceilings of a small tool: a waiting tool wakes seldom, and none links more than it uses.
constexpr double kIdleMaxPercent = 1;
constexpr double kMaxSizeKib = 256;
constexpr double kMaxResidentKib = 8192;

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
  RunOptions s = programmer::recorded(runOptions({(kHelperDir / "peak_rss").string()}));
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

}  // namespace

void Perf::idle() {
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
      RunOptions query = runOptions({"sketchqueryblock", "?"}, windowMs + 30000);
      query.lines["/dev/ttyS0"] = queryLine.slavePath();
      RunOptions pinwait = runOptions({"pinwait", "-dig", "6", "1"}, windowMs + 30000);
      pinwait.lines["/dev/ttyAMA0"] = waitLine.slavePath();
      RunOptions bridge = bridgeOptions({"termbridge"});
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
    add(cpuRow("sketchqueryblock: CPU time while waiting for an answer (blocked in poll)" + over, s[0], 0));
    add(cpuRow("pinwait: CPU time while waiting for the pin (blocking read)" + over, s[1], 0));
    add(cpuRow("termbridge: CPU time while idle (asleep in poll)" + over, s[2], kIdleMaxPercent));
  });
}

void Perf::footprint() {
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
      {"clockset", {{"clockset", "--now"}}},
      {"alarmset", {{"alarmset", "07:30", "--weekday", "2"}}},
      {"alarmshow", {{"alarmshow"}}},
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
      const RunResult r = bench::run(host.get(), runOptions({"strip", copy.string()}));
      expect(r.status == 0, "strip " + tool + ": " + said(r) + " " + r.err);
      add(footprintRow(tool + ": stripped size", {static_cast<double>(fs::file_size(copy)) / 1024}, kMaxSizeKib));

      programmer::Fixture f;
      // A program with no typical run here yet: started alone, stopped after a second.
      const Job job = jobs.count(tool) ? jobs.at(tool) : Job{{tool}, "", silent, 1000};
      const auto s = repeat(runs_, [&] { return std::vector<double>{peakKib(*f.board, f.work.path(), job)}; });
      add(footprintRow(tool + ": peak resident memory (VmHWM)", s[0], kMaxResidentKib));
    });
  }
}

}  // namespace perf
