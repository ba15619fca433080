// The clock chip's calendar: its BCD registers moved on through days, months and years (the
// arithmetic behind Board's ticking clock and advanceClock), and alarm 2 matched on the way.
#pragma once

#include <cstdint>
#include <vector>

namespace simboard {

// Registers 0-6 for a date and time, 24-hour mode; the day of the week is 1 (Sunday) to 7.
std::vector<std::uint8_t> timeBytes(int year, int month, int day, int hour, int minute, int second);

}  // namespace simboard
