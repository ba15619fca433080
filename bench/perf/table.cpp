// vboard bench's table: see table.h.
#include "table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace perf {
namespace {

// A relay may be this much slower than the minimal C program's before its row fails.
constexpr double kMinRateRatio = 0.5;

std::string fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string duration(double ms) { return std::abs(ms) >= 10000 ? fixed(ms / 1000, 2) + " s" : fixed(ms, 1) + " ms"; }
std::string rate(double bytesPerS) { return fixed(bytesPerS, 0) + " B/s"; }

}  // namespace

void expect(bool ok, const std::string& what) {
  if (!ok) throw Failure(what);
}

double median(std::vector<double> v) {
  expect(!v.empty(), "no figure");
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Every fixed wait: within 2 % or 5 ms of its nominal length, whichever is larger. A wait
// made of `sleeps` sleeps may also run late by kLateWakeMs for each: the machine wakes a
// sleeper a little after its time, the more so when busy, and never before it.
constexpr double kLateWakeMs = 0.5;
Row timingRow(const std::string& what, double nominalMs, const std::vector<double>& ms, int sleeps) {
  const double m = median(ms), tolerance = std::max(0.02 * nominalMs, 5.0), late = sleeps * kLateWakeMs;
  return {what,
          duration(nominalMs),
          duration(m),
          fixed(m / nominalMs, 3),
          "±" + duration(tolerance) + ", +" + duration(late) + " for " + std::to_string(sleeps) +
              (sleeps == 1 ? " sleep" : " sleeps"),
          m >= nominalMs - tolerance && m <= nominalMs + tolerance + late ? "pass" : "fail"};
}

// A terminal's read time-out (VTIME) ends on a tick of the kernel's clock: 4 ms apart at 250
// Hz, 10 ms at 100 Hz. Where a figure holds `timeOuts` of them, the tool's and the C
// program's may each end a tick apart, whatever either does.
constexpr double kTickMs = 10;

// A tool against the minimal C program: the same tolerance, over the program's figure.
Row overheadRow(const std::string& what, const std::vector<double>& toolMs, const std::vector<double>& cMs,
                int timeOuts) {
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

// CPU time of a wait, against a ceiling; a wait in the kernel that no time-out wakes must cost
// not a nanosecond (maxPercent 0).
Row cpuRow(const std::string& what, const std::vector<double>& msPerMinute, double maxPercent) {
  const double m = median(msPerMinute), percent = m / 600;
  return {what,
          "—",
          fixed(m, 1) + " ms/min",
          fixed(percent, 3) + " % of a CPU",
          maxPercent == 0 ? "0.00 % of a CPU" : "≤ " + fixed(maxPercent, 2) + " % of a CPU",
          (maxPercent == 0 ? m == 0 : percent <= maxPercent) ? "pass" : "fail"};
}

Row footprintRow(const std::string& what, const std::vector<double>& kib, double maxKib) {
  const double m = median(kib);
  return {what, "—", fixed(m, 1) + " KiB", fixed(m / maxKib, 3), "≤ " + fixed(maxKib, 0) + " KiB",
          m <= maxKib ? "pass" : "fail"};
}

std::string markdown(const std::vector<Row>& rows, int runs) {
  std::string out = "| Measure | Nominal | Measured (median of " + std::to_string(runs) + (runs == 1 ? " run" : " runs") +
                    ") | Ratio or comparison | Goal | Result |\n|---|---|---|---|---|---|\n";
  for (const Row& r : rows)
    out += "| " + r.what + " | " + r.nominal + " | " + r.measured + " | " + r.comparison + " | " + r.goal + " | " +
           r.result + " |\n";
  return out;
}

}  // namespace perf
