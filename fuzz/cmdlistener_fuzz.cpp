// The two readers of cmdlistener.
//
// readPiece, as getAnswer reads a command's output (a fresh piece each call, on one stream):
// the pieces put together are the input; each ends at its first "\n", or holds kPieceMax
// bytes, or is the last one, cut by the end of the stream; only the last piece returns false.
//
// readLine, as ciclo reads the serial line (a line that grows over timed reads that end
// empty): the bytes arrive in bursts on a non-blocking pipe, and what is read so far stays
// in the line until it is whole. The lines put together are the input with each CR LF as
// its LF; each ends at its first "\n" or holds kPieceMax bytes, but for the last; and they
// are the same lines, wherever the bursts split the input.
//
// What ciclo then does with a line (the request keys, the refusal of a cut command) is inline
// in ciclo, next to popen: it is not fuzzed here.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "cmdlistener.cpp"
#include "harness.h"

namespace {

// The pieces of one stream, read as getAnswer reads them; the last one is the rest.
std::vector<std::string> pieces(const std::string& input) {
  char none = 0;
  FILE* in = fmemopen(input.empty() ? &none : const_cast<char*>(input.data()), input.size(), "r");
  fuzz::require(in != nullptr, "fmemopen");
  std::vector<std::string> out;
  for (bool more = true; more;) {
    std::string piece;
    more = readPiece(in, piece);
    fuzz::require(piece.size() <= kPieceMax, "a piece holds at most kPieceMax bytes");
    const auto lf = piece.find('\n');
    if (more) {
      fuzz::require(piece.size() == kPieceMax || (!piece.empty() && lf == piece.size() - 1),
                    "a piece ends at its first line end or at kPieceMax bytes");
      fuzz::require(lf == std::string::npos || lf == piece.size() - 1, "a line end only at the end");
    } else {
      fuzz::require(std::feof(in) != 0, "false only at the end of the stream");
      fuzz::require(lf == std::string::npos && piece.size() < kPieceMax, "the rest is no whole piece");
    }
    out.push_back(std::move(piece));
    fuzz::require(out.size() <= input.size() + 1, "every piece but the last takes a byte");
  }
  std::fclose(in);
  return out;
}

// The lines of the same bytes sent in bursts (all at once without a seed), read as ciclo reads them.
std::vector<std::string> lines(const std::string& input, std::optional<std::uint32_t> seed) {
  int ends[2];
  fuzz::require(pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0, "pipe");
  FILE* in = fdopen(ends[0], "r");
  fuzz::require(in != nullptr, "fdopen");
  std::vector<std::string> out;
  std::string line;
  auto readAll = [&] {
    while (readLine(in, line, kPieceMax)) {
      fuzz::require(line.size() <= kPieceMax, "a line holds at most kPieceMax bytes");
      const auto lf = line.find('\n');
      fuzz::require(lf == std::string::npos ? line.size() == kPieceMax : lf == line.size() - 1,
                    "a line ends at its first line end or at kPieceMax bytes");
      out.push_back(line);
      line.clear();
    }
    std::clearerr(in);
  };
  for (std::size_t sent = 0; sent < input.size();) {
    std::size_t burst = input.size() - sent;
    if (seed) {
      seed = *seed * 1103515245u + 12345u;
      burst = std::min<std::size_t>(burst, 1 + (*seed >> 16) % 700);
    }
    fuzz::require(write(ends[1], input.data() + sent, burst) == static_cast<ssize_t>(burst), "write");
    sent += burst;
    readAll();
  }
  close(ends[1]);
  readAll();
  out.push_back(line);
  std::fclose(in);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > fuzz::kMaxLine) return -1;
  // The first two bytes choose where the bursts split the rest.
  const std::uint32_t seed = data[0] | data[1] << 8;
  const std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);
  std::string joined;
  for (const auto& p : pieces(input)) joined += p;
  fuzz::require(joined == input, "the pieces put together are the input");
  const auto inBursts = lines(input, seed), atOnce = lines(input, std::nullopt);
  fuzz::require(inBursts == atOnce, "bursts do not change the lines");
  joined.clear();
  for (const auto& l : inBursts) joined += l;
  fuzz::require(joined == fuzz::crLfAsLf(input), "the lines put together are the input, CR LF as LF");
  return 0;
}
