// The stand-in for date (the script `date` beside this header) and what it writes in the
// board's directory. It keeps a system clock of the run's own there, so that "date -s" never
// sets the host's:
//   sysclock   "SET AT": the time set and the host's time when it was set, in seconds since
//              the epoch; the run's clock is the host's moved on by SET - AT
// It also adds each call to the board's command log, as the sudo stand-in does
// (simboard::Board::commands()).
#pragma once

namespace bench::sysclock {

inline constexpr const char* kClock = "sysclock";

}  // namespace bench::sysclock
