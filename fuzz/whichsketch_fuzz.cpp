// whichsketch's getnamesketch: the sketch's name line, read from the line into rbuff. What
// is kept is the start of what came, a CR LF line end as its LF, up to and with the first
// "\n", at most the row's rbuff size less one bytes.
//
// Silence ends the tool (exit 1, "NO replay"): only answers of one byte or more are fuzzed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "harness.h"
#include "whichsketch.cpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silenceStdout();
  serout = std::fopen("/dev/null", "w");  // the "?\n" asked of the sketch goes nowhere
  fuzz::require(serout != nullptr, "open /dev/null");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > fuzz::kMaxLine) return -1;
  // The bytes the sketch sent, then a hang-up: the wait for a next byte ends at once.
  const fuzz::SentBytes line(data, size);
  fd = line.fd();
  serinp = line.stream();
  rbuff.assign(ports::whichsketch.rbuffSize, fuzz::kUntouched);

  getnamesketch();
  fuzz::require(rbuff == fuzz::firstLine(fuzz::crLfAsLf(data, size), ports::whichsketch.rbuffSize - 1),
                "the name line is the start of what came");
  std::fclose(serinp);
  serinp = nullptr;
  fd = -1;
  return 0;
}
