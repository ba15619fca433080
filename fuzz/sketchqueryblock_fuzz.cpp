// sketchqueryblock's readReplyLine: the first answer line, read from the line into rbuff.
// What is kept is the start of what came, a CR LF line end as its LF, up to and with the
// first "\n", at most the row's rbuff size less two bytes.
//
// The tool waits for a first byte without limit: only answers of one byte or more are fuzzed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "harness.h"
#include "sketchqueryblock.cpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > fuzz::kMaxLine) return -1;
  // The bytes the sketch sent, then a hang-up: reads end at the end of file.
  const fuzz::SentBytes line(data, size);
  fd = line.fd();
  serinp = line.stream();
  rbuff.assign(ports::sketchqueryblock.rbuffSize, fuzz::kUntouched);

  readReplyLine();
  fuzz::require(rbuff == fuzz::firstLine(fuzz::crLfAsLf(data, size), ports::sketchqueryblock.rbuffSize - 2),
                "the answer line is the start of what came");
  std::fclose(serinp);
  serinp = nullptr;
  fd = -1;
  return 0;
}
