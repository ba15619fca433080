// boardflash's shellWord: any file name becomes one shell word that the shell reads back as
// exactly that name. The word is read here by sh's rules: inside single quotes every byte
// stands for itself; outside them a backslash quotes the next byte and nothing else may appear.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "boardflash.cpp"
#include "harness.h"

namespace {

// The name sh makes of `word`; none when the word holds a byte that sh would take as
// syntax, or other escapes than the \' that closes and reopens a quote.
std::optional<std::string> unquote(const std::string& word) {
  std::string text;
  bool quoted = false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    const char c = word[i];
    if (quoted) {
      if (c == '\'')
        quoted = false;
      else
        text += c;
    } else if (c == '\'') {
      quoted = true;
    } else if (c == '\\' && i + 1 < word.size() && word[i + 1] == '\'') {
      text += word[++i];
    } else {
      return std::nullopt;
    }
  }
  if (quoted) return std::nullopt;
  return text;
}

void check(const std::string& name) {
  const std::string word = shellWord(name);
  fuzz::require(word.size() >= 2 && word.front() == '\'' && word.back() == '\'', "the word is quoted");
  const auto back = unquote(word);
  fuzz::require(back.has_value(), "sh reads one word and no syntax");
  fuzz::require(*back == name, "sh reads back the name");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An argument cannot hold NUL: each NUL-free run is one file name.
  for (const auto& word : fuzz::words(std::string(reinterpret_cast<const char*>(data), size))) check(word);
  return 0;
}
