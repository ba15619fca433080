// vboard bench as a person runs it, and its memory tracer. The table's shape is checked,
// not its figures, which belong to the machine.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "bench.h"
#include "orvix_tools.h"

namespace {

const std::string kVboard = (bench::toolDir().parent_path() / "vboard").string();
const std::string kPeakRss = std::string(PERF_HELPER_DIR) + "/peak_rss";

using orvix::kTools;

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// The cells of a Markdown table line "| a | b |".
std::vector<std::string> cells(const std::string& line) {
  std::vector<std::string> all;
  std::istringstream in(line.substr(1));
  for (std::string cell; std::getline(in, cell, '|');) all.push_back(trim(cell));
  return all;
}

bool leadingNumber(const std::string& s) {
  char* end = nullptr;
  std::strtod(s.c_str(), &end);
  return end != s.c_str();
}

double peakRecord(const bench::Board& board) {
  double kib = -1;
  std::ifstream(board.dir() / "peak-rss") >> kib;
  return kib;
}

}  // namespace

// With --check the status says whether a figure missed its goal, and each such row is named;
// which rows pass belongs to the machine (and its load), so only that agreement is checked.
TEST(VboardBench, QuickTableHasARowForEveryFigure) {
  bench::ScratchBoard host;  // where vboard itself runs; the bench makes boards of its own
  const auto r =
      bench::run(host.get(), {.argv = {kVboard, "bench", "--quick", "--check", "--runs", "1"}, .timeoutMs = 280000});
  ASSERT_TRUE(r.status == 0 || r.status == 1) << r.out << r.err;
  EXPECT_EQ(r.err.find("error: "), std::string::npos) << r.err;

  std::vector<std::vector<std::string>> lines;
  std::istringstream out(r.out);
  for (std::string line; std::getline(out, line);) {
    ASSERT_TRUE(line.starts_with("| ") || line.starts_with("|---")) << "not a table line: " << line;
    lines.push_back(cells(line));
  }
  ASSERT_GT(lines.size(), 2u);
  EXPECT_EQ(lines[0], (std::vector<std::string>{"Measure", "Nominal", "Measured (median of 1 run)",
                                                "Ratio or comparison", "Goal", "Result"}));
  EXPECT_EQ(lines[1], std::vector<std::string>(6, "---"));

  std::map<std::string, std::vector<std::string>> rows;
  for (std::size_t i = 2; i < lines.size(); ++i) {
    const auto& row = lines[i];
    ASSERT_EQ(row.size(), 6u) << row[0];
    EXPECT_TRUE(rows.emplace(row[0], row).second) << "twice: " << row[0];
    EXPECT_TRUE(leadingNumber(row[2])) << row[0] << ": " << row[2];
    EXPECT_TRUE(row[5] == "pass" || row[5] == "fail") << row[0] << ": " << row[5];
  }
  std::string failing;
  for (const auto& [what, row] : rows)
    if (row[5] == "fail") failing += "vboard bench: fail: " + what + ": " + row[2] + " (goal " + row[4] + ")\n";
  EXPECT_EQ(r.status, failing.empty() ? 0 : 1) << r.err;
  for (std::size_t at = 0; at < failing.size();) {  // each failing row named on stderr
    const std::size_t end = failing.find('\n', at) + 1;
    EXPECT_NE(r.err.find(failing.substr(at, end - at)), std::string::npos) << failing.substr(at, end - at) << r.err;
    at = end;
  }

  auto starting = [&](const std::string& prefix) {
    std::vector<std::vector<std::string>> found;
    for (const auto& [what, row] : rows)
      if (what.starts_with(prefix)) found.push_back(row);
    return found;
  };

  // Timing: a ratio to the wait's nominal time in each row.
  for (const char* wait :
       {"mcuflash: reset line low", "mcuflash: sinc, raised to programmer start", "boardflash: reset line low",
        "mcureset: reset line low", "mcureset: reset line high", "sketchcheck: no answer", "sketchquery: no answer",
        "whichsketch: no answer", "pinwait: no identity answer", "pinwait: announcement to loader start",
        "buttonwatch: poll period", "termbridge: one pass"}) {
    const auto found = starting(wait);
    ASSERT_EQ(found.size(), 1u) << wait;
    EXPECT_TRUE(leadingNumber(found[0][1])) << wait;
    EXPECT_TRUE(leadingNumber(found[0][3])) << wait;
  }
  EXPECT_TRUE(starting("buttonwatch: whole run").empty()) << "--quick skips it";

  // Overhead: two rows per serial tool, each against the C program's figure.
  for (const char* tool : {"sketchcheck", "sketchquery", "sketchqueryblock", "whichsketch", "pinwait", "cmdlistener"}) {
    const auto found = starting(std::string(tool) + ": start to first byte on the line");
    ASSERT_EQ(found.size(), 1u) << tool;
    EXPECT_TRUE(found[0][1].starts_with("C: ") && leadingNumber(found[0][1].substr(3))) << found[0][1];
    const auto last = starting(std::string(tool) + (std::string(tool) == "cmdlistener" ? ": \"$$$Cend \"" : ": last answer byte"));
    ASSERT_EQ(last.size(), 1u) << tool;
    EXPECT_TRUE(leadingNumber(last[0][1].substr(3))) << last[0][1];
  }

  ASSERT_EQ(starting("sketchcheck: whole run without an answer").size(), 1u);
  EXPECT_TRUE(starting("sketchcheck: whole run without an answer")[0][1].starts_with("C: "));

  // Throughput: the tool's rate against the C program's, as a ratio.
  for (const char* rate : {"sketchquery: 1 MiB answer", "cmdlistener: 1 MiB of command output"}) {
    const auto found = starting(rate);
    ASSERT_EQ(found.size(), 1u) << rate;
    EXPECT_TRUE(found[0][1].starts_with("C: ") && found[0][1].ends_with(" B/s")) << found[0][1];
    EXPECT_TRUE(found[0][2].ends_with(" B/s")) << found[0][2];
    EXPECT_TRUE(found[0][3].ends_with("× C") && leadingNumber(found[0][3])) << found[0][3];
  }
  for (const char* tool : {"sketchqueryblock", "pinwait", "termbridge"}) {
    const auto found = starting(std::string(tool) + ": CPU time while");
    ASSERT_EQ(found.size(), 1u) << tool;
    EXPECT_TRUE(found[0][2].ends_with(" ms/min")) << found[0][2];
  }
  for (const std::string& tool : kTools) {
    ASSERT_EQ(starting(tool + ": stripped size").size(), 1u) << tool;
    ASSERT_EQ(starting(tool + ": peak resident memory").size(), 1u) << tool;
    EXPECT_GT(std::strtod(rows[tool + ": stripped size"][2].c_str(), nullptr), 0) << tool;
  }
  // 12 waits, 13 overheads, 2 relays, 3 idle tools, and size and memory of each program.
  EXPECT_EQ(rows.size(), 12u + 13u + 2u + 3u + 2 * kTools.size());
}

TEST(VboardBench, BadArgumentsPrintNoTable) {
  bench::ScratchBoard host;
  for (std::vector<std::string> args : {std::vector<std::string>{"--runs", "0"}, {"--runs", "x"}, {"--runs"}, {"--fast"}}) {
    args.insert(args.begin(), {kVboard, "bench"});
    const auto r = bench::run(host.get(), {.argv = args});
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_EQ(r.out, "") << args.back();
    EXPECT_TRUE(r.err.starts_with("vboard: ") && r.err.ends_with("\nTry 'vboard --help'.\n")) << r.err;
  }
}

TEST(PeakRss, RecordsTheProgramsOwnPeakAndPassesItsStatus) {
  bench::ScratchBoard board;
  auto r = bench::run(*board, {.argv = {kPeakRss, "sh", "-c", "exit 3"}});
  EXPECT_EQ(r.status, 3);
  EXPECT_GT(peakRecord(*board), 0);

  // The tracer under a tracer: the outer one records the inner one's peak. (A leak check at
  // the inner one's end would need ptrace, which a traced program cannot have.)
  r = bench::run(*board, {.argv = {kPeakRss, kPeakRss, "true"}, .env = {"ASAN_OPTIONS=detect_leaks=0"}});
  EXPECT_EQ(r.status, 0);
  const double tracer = peakRecord(*board);
  r = bench::run(*board, {.argv = {kPeakRss, "true"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(peakRecord(*board), tracer) << "the figure is the program's, not the copy of the tracer it started as";

  // A shell that holds 30 MB in a variable.
  r = bench::run(*board, {.argv = {kPeakRss, "sh", "-c", "x=$(head -c 30000000 /dev/zero | tr '\\0' a); exit 0"},
                          .timeoutMs = 30000});
  EXPECT_EQ(r.status, 0);
  EXPECT_GT(peakRecord(*board), 30000000 / 1024);
}

TEST(PeakRss, AProgramStoppedByTheGroupsSignalIsStillMeasured) {
  bench::ScratchBoard board;
  bench::Process p(*board, {.argv = {kPeakRss, "sleep", "10"}});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(-p.pid(), SIGTERM);
  const auto r = p.wait();
  EXPECT_EQ(r.status, 128 + SIGTERM);
  EXPECT_LT(r.seconds, 5);
  EXPECT_GT(peakRecord(*board), 0);
}
