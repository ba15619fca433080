// mcuflash's waitMs: the wait argument becomes a wait between 0 and INT_MAX ms, read as
// strtol reads a decimal number (leading blanks, a sign, digits, the rest ignored), with a
// negative wait taken as 0 and one past INT_MAX as INT_MAX, however many digits it has.
#include <climits>
#include <cstddef>
#include <cstdint>

#include "harness.h"
#include "mcuflash.cpp"

namespace {

bool blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The same reading, done digit by digit with its own saturation.
int expectedWait(const std::string& word) {
  std::size_t i = 0;
  while (i < word.size() && blank(word[i])) ++i;
  bool negative = false;
  if (i < word.size() && (word[i] == '+' || word[i] == '-')) negative = word[i++] == '-';
  long long value = 0;
  for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; ++i) {
    value = value * 10 + (word[i] - '0');
    if (value > INT_MAX) value = INT_MAX + 1LL;  // past the range: stays there
  }
  if (negative) return 0;
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

void check(const std::string& word) {
  const int ms = waitMs(word.c_str());
  fuzz::require(ms >= 0, "the wait is not negative");
  fuzz::require(ms == expectedWait(word), "the wait is the saturated decimal number");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An argument cannot hold NUL: each NUL-free run is one argument.
  for (const auto& word : fuzz::words(std::string(reinterpret_cast<const char*>(data), size))) check(word);
  return 0;
}
