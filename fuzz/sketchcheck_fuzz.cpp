// sketchcheck's readReply: the sketch's answer, read from the line into rbuff. What is kept
// is the start of what came with each CR LF line end as its LF, at most rbuff's size less
// one bytes, ended by a NUL, and nothing past that NUL is touched; the result says whether
// a byte came at all.
//
// The verdict (strncasecmp of the answer with the name) is inline in main, after init opens
// the fixed port: it is not fuzzed here.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "harness.h"
#include "sketchcheck.cpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > fuzz::kMaxLine) return -1;
  // The line: the bytes the sketch sent, then a hang-up, so no read waits. One poll only,
  // as it waits 10 ms when nothing came.
  const fuzz::SentBytes line(data, size);
  fd = line.fd();
  tries = 1;
  rbuff.assign(ports::sketchcheck.rbuffSize, fuzz::kUntouched);

  const bool came = readReply();
  const std::string text = fuzz::crLfAsLf(data, size);
  const std::size_t kept = std::min(text.size(), rbuff.size() - 1);
  fuzz::require(rbuff.size() == ports::sketchcheck.rbuffSize, "rbuff keeps its size");
  fuzz::require(came == (size > 0), "a reply came exactly when a byte came");
  fuzz::requireKept(rbuff, reinterpret_cast<const std::uint8_t*>(text.data()), kept);
  fd = -1;
  return 0;
}
