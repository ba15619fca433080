// vboard bench's table: a row for each figure, with its goal and its verdict ("pass" or
// "fail"), and the table in Markdown.
//
//   median(series)        the figure of a series of runs
//   timingRow             a fixed wait against the length it should have
//   overheadRow           a tool's time against the minimal C program's
//   throughputRow         a relay's rate against the minimal C program's
//   cpuRow                a wait's CPU time against a ceiling (none at all for 0)
//   footprintRow          a size against a ceiling
//   markdown(rows, runs)  the table
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace perf {

// A figure that could not be taken: the run did not go as the exchange expects.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void expect(bool ok, const std::string& what);  // throws Failure(what) unless ok

struct Row {
  std::string what, nominal, measured, comparison, goal, result;
};

double median(std::vector<double> v);

// `sleeps`: the sleeps the wait is made of; `timeOuts`: the terminal read time-outs a figure holds.
Row timingRow(const std::string& what, double nominalMs, const std::vector<double>& ms, int sleeps = 1);
Row overheadRow(const std::string& what, const std::vector<double>& toolMs, const std::vector<double>& cMs,
                int timeOuts = 0);
Row throughputRow(const std::string& what, const std::vector<double>& toolBytesPerS, const std::vector<double>& cBytesPerS);
Row cpuRow(const std::string& what, const std::vector<double>& msPerMinute, double maxPercent);
Row footprintRow(const std::string& what, const std::vector<double>& kib, double maxKib);

std::string markdown(const std::vector<Row>& rows, int runs);

}  // namespace perf
