// vboard's escapes: unescape reads the BYTES of `--answer LINE=BYTES`, escape shows the bytes
// a tool sent (--show-line) and the stand-ins' records (commands).
//
//   escape gives printable ASCII only, and unescape gives back the very bytes escaped;
//   unescape turns \r \n \t \\ \xHH into their byte, keeps a lone backslash at the end, and for
//   any other escape keeps the character after the backslash.
//
// A \x without two hex digits after it ends vboard with a usage error: such values are left
// out here.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "harness.h"
#include "vboard.cpp"

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes the escapes stand for; none for a value left out (see above).
std::optional<std::string> expectedBytes(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    switch (const char c = s[++i]) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'x':
        if (i + 2 >= s.size()) return std::nullopt;
        if (hexDigit(s[i + 1]) < 0 || hexDigit(s[i + 2]) < 0) return std::nullopt;
        out += static_cast<char>(hexDigit(s[i + 1]) * 16 + hexDigit(s[i + 2]));
        i += 2;
        break;
      default: out += c;
    }
  }
  return out;
}

void checkValue(const std::string& value) {
  const auto expected = expectedBytes(value);
  if (!expected) return;
  fuzz::require(unescape(value) == *expected, "unescape gives the bytes the escapes stand for");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // Bytes a tool sent may be any bytes.
  const std::string shown = escape(bytes);
  for (unsigned char c : shown) fuzz::require(c >= 0x20 && c < 0x7F, "escape gives printable ASCII only");
  fuzz::require(unescape(shown) == bytes, "unescape gives back the bytes escaped");

  // An --answer value is an argument, without NUL: each NUL-free run is one value.
  for (const auto& value : fuzz::words(bytes)) checkValue(value);
  return 0;
}
