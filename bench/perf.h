// vboard bench: what the suite promises, measured on scratch boards and bench lines and
// printed as one Markdown table (see benchCommand's help line in vboard --help).
//
//   timing      every wait the tools fix, measured against its nominal length
//   overhead    start to first byte on the line, last answer byte to end, for each serial
//               tool, against a minimal C program doing the same exchange in the same run
//   throughput  a 1 MiB answer through sketchquery, 1 MiB of command output through
//               cmdlistener, against the minimal C program doing the same relay in the same run
//   idle        CPU time per minute of the tools that wait without end
//   footprint   stripped size and peak resident memory of every tool
#pragma once

#include <string>
#include <vector>

// `vboard bench [--runs N] [--quick] [--check]`: prints the table on standard output and its
// progress on standard error. Returns 0 when every figure was measured, 1 when one could not
// be (or, with --check, when one misses its goal: a "fail"), 2 for a bad argument.
int benchCommand(const std::vector<std::string>& args);
