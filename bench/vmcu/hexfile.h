// Intel-hex images, as the compilers, optiboot's build and avrdude write them.
//
//   loadHex(path, memory)   writes the file's data records into `memory`; an error text
//                           (what is wrong, and on which line) or nothing on success
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace vmcu {

// Data (00), end (01), segment (02, 04) and start-address (03, 05) records; a start
// address says where to begin, which the chip's reset vector decides here, so it is skipped.
std::optional<std::string> loadHex(const std::filesystem::path& path, std::span<std::uint8_t> memory);

}  // namespace vmcu
