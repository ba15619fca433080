// whichsketch's getnamesketch: the sketch's name line, read from the line into rbuff. What
// is kept is the start of what came, up to and with the first "\n", at most rbuff's size less
// one bytes, ended by a NUL; nothing past that NUL is touched.
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
  constexpr char kUntouched = '\x5a';
  rbuff.assign(ports::whichsketch.rbuffSize, kUntouched);

  getnamesketch();
  const auto* lf = static_cast<const std::uint8_t*>(std::memchr(data, '\n', size));
  const std::size_t lineLength = lf ? static_cast<std::size_t>(lf - data) + 1 : size;
  const std::size_t kept = std::min(lineLength, rbuff.size() - 1);
  fuzz::require(rbuff.size() == ports::whichsketch.rbuffSize, "rbuff keeps its size");
  fuzz::require(std::memcmp(rbuff.data(), data, kept) == 0, "the start of the line is kept");
  fuzz::require(rbuff[kept] == '\0', "the text ends after what was kept");
  for (std::size_t i = kept + 1; i < rbuff.size(); ++i)
    fuzz::require(rbuff[i] == kUntouched, "nothing past the end is written");
  std::fclose(serinp);
  serinp = nullptr;
  fd = -1;
  return 0;
}
