// vboard bench: each figure is taken side by side in one run of this program, as the median
// of --runs runs; see perf.h for the groups, perf/measure.h for how a figure is taken. Here:
// the groups in the table's order, the table and its verdicts, and the command's arguments.
#include "perf.h"

#include <algorithm>
#include <iostream>
#include <optional>

#include "orvix_tools.h"
#include "perf/measure.h"

namespace fs = std::filesystem;

namespace perf {

using bench::kButtonPin;

int Perf::run() {
  std::optional<bench::ScratchBoard> wholeBoard;
  std::optional<bench::Process> whole;
  if (!quick_) {  // 100 s of sleeping: it runs beside everything else
    wholeBoard.emplace();
    whole.emplace(**wholeBoard, runOptions({"buttonwatch"}, 130000));
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

void Perf::note(const std::string& what) { std::cerr << "vboard bench: " << what << '\n'; }

void Perf::section(const std::string& name, const std::function<void()>& body) {
  note(name);
  try {
    body();
  } catch (const std::exception& e) {
    rows_.push_back({name, "—", "n/a", "—", "—", std::string("error: ") + e.what()});
    failed_ = true;
  }
}

}  // namespace perf

namespace {

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
  for (const std::string& tool : orvix::kTools)
    if (!fs::exists(bench::toolDir() / tool)) {
      std::cerr << "vboard bench: " << tool << " is not built (looked in " << bench::toolDir().string() << ")\n";
      return 1;
    }
  for (const char* helper : {"minimal_query", "peak_rss"})
    if (!fs::exists(perf::kHelperDir / helper)) {
      std::cerr << "vboard bench: " << helper << " is not built (looked in " << perf::kHelperDir.string() << ")\n";
      return 1;
    }
  return perf::Perf(runs, quick, check).run();
}
