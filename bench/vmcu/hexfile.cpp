#include "hexfile.h"

#include <fstream>
#include <vector>

namespace vmcu {

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The bytes of one record, checksum included, or nothing when it is not hex pairs.
std::optional<std::vector<std::uint8_t>> recordBytes(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = hexDigit(text[i]);
    const int lo = hexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return bytes;
}

}  // namespace

std::optional<std::string> loadHex(const std::filesystem::path& path, std::span<std::uint8_t> memory) {
  std::ifstream in(path);
  if (!in) return path.string() + ": cannot be read";
  std::uint32_t base = 0;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string where = path.string() + ":" + std::to_string(number) + ": ";
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line[0] != ':') return where + "not a record";
    const auto bytes = recordBytes(line.substr(1));
    if (!bytes || bytes->size() < 5 || bytes->size() != std::size_t{(*bytes)[0]} + 5u)
      return where + "malformed record";
    std::uint8_t sum = 0;
    for (auto b : *bytes) sum = static_cast<std::uint8_t>(sum + b);
    if (sum != 0) return where + "bad checksum";
    const std::uint8_t count = (*bytes)[0];
    const std::uint32_t offset = std::uint32_t{(*bytes)[1]} << 8 | (*bytes)[2];
    const std::uint8_t type = (*bytes)[3];
    const std::uint8_t* data = bytes->data() + 4;
    switch (type) {
      case 0x00:
        if (base + offset + count > memory.size()) return where + "data beyond the end of flash";
        for (std::uint8_t i = 0; i < count; ++i) memory[base + offset + i] = data[i];
        break;
      case 0x01:
        return std::nullopt;
      case 0x02:
        if (count != 2) return where + "malformed segment record";
        base = (std::uint32_t{data[0]} << 8 | data[1]) << 4;
        break;
      case 0x04:
        if (count != 2) return where + "malformed segment record";
        base = (std::uint32_t{data[0]} << 8 | data[1]) << 16;
        break;
      case 0x03:
      case 0x05:
        break;
      default:
        return where + "unknown record type";
    }
  }
  return path.string() + ": no end record";
}

}  // namespace vmcu
