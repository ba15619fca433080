// The virtual Orvix board: the state that a real board keeps in its chips.
//
//   Board::open(dir)        the board in DIR, if one is there (the tools' view)
//   Board::create(dir)      the board in DIR, made fresh when DIR is missing or empty (the bench's view)
//   rtc*()                  the clock chip at I2C address 104: 19 registers that tick, and alarm 2
//                           (registers 11-13) that raises its flag, bit 1 of register 15
//   setRtcBus()             the bus as a Pi may offer it: missing, not permitted, held, no chip
//   i2c*()                  the bus as the kernel's i2c-dev offers it to wiringPi, faults included
//   gpio*() / setInput()    the GPIO header: modes, levels, pulls, inputs over time; access denied
//   trace()                 every transfer and GPIO call, timestamped, with the caller's pid
//   commands()              what the bench's stand-ins for outside programs were asked to do
//
// All state lives in files of the board's directory, under one lock, so several
// processes can share a board and the clock outlives each program, as with a battery.
// The directory is its owner's alone (no other user may write to it), carries a board mark
// that create() writes into a new or empty one, and is never reached through a symbolic
// link. A directory that is not a board, or a state that cannot be read or written whole,
// is an error (std::runtime_error naming the file and the cause), never a default.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace simboard {

// Where a tool finds its board: the bench mounts a board's directory here.
inline constexpr const char* kBoardPath = "/dev/vboard";

// The board's wiring on the Pi's GPIO header, BCM numbers.
inline constexpr int kResetPin = 23;   // the microcontroller's RESET, through the board's coupling
inline constexpr int kButtonPin = 24;  // the push button, read with the internal pull-down

inline constexpr int kRtcAddress = 104;
inline constexpr int kRtcRegisters = 19;
inline constexpr int kPins = 64;

// What a program on the Pi meets on /dev/i2c-1 (each fault named as `vboard rtc` names it).
enum class RtcBus {
  kOk,      // the bus opens and the clock answers
  kNoBus,   // "nobus": no /dev/i2c-1, I2C is not enabled; opening fails with ENOENT
  kDenied,  // "denied": the user is not in group i2c; opening fails with EACCES
  kBusy,    // "busy": a kernel RTC driver holds 0x68; selecting it fails with EBUSY
  kNoChip,  // "nochip": opening and selecting succeed, every transfer fails with ENXIO
};
const char* busName(RtcBus bus);
std::optional<RtcBus> busFromName(const std::string& name);

using Registers = std::array<std::uint8_t, kRtcRegisters>;

// One line of the trace. `op` and `args`:
//   i2c-setup  dev result        i2c-read  reg result        i2c-write reg value result
//   gpio-setup result (-1: denied)  gpio-mode pin mode       gpio-write pin level
//   gpio-read  pin level         gpio-pull pin pud
//   serial-modem dtr rts         a program changed the DTR or RTS line of a serial line (written
//                                by the bench's UART library, bench/standins/uart-modem.c)
struct TraceEvent {
  std::int64_t us = 0;  // CLOCK_MONOTONIC, microseconds
  int pid = 0;
  std::string op;
  std::vector<int> args;
};

struct PinState {
  int mode = 0;   // INPUT 0, OUTPUT 1
  int level = 0;  // last level written
  int pull = 0;   // PUD_OFF 0, PUD_DOWN 1, PUD_UP 2
};

// A level that an input takes `ms` after the schedule was set.
struct LevelStep {
  int ms = 0;
  int level = 0;
};

std::int64_t monotonicMicros();

class Board {
 public:
  static std::optional<Board> open(const std::filesystem::path& dir);
  static Board create(const std::filesystem::path& dir);

  const std::filesystem::path& dir() const { return dir_; }

  // --- the clock chip ---
  Registers rtcRegisters() const;  // as a read would find them now
  // Writes bytes from register `first` on; a time register among them restarts the count.
  void setRtcRegisters(const std::vector<std::uint8_t>& bytes, int first = 0);
  // 24-hour mode; the day of the week is 1 (Sunday) to 7 (Saturday), as the tools count it.
  void setRtcTime(int year, int month, int day, int hour, int minute, int second);
  void setRtcBus(RtcBus bus);
  // -1: transfers succeed; 0: every transfer fails; n > 0: n more succeed, then all fail.
  void setRtcFailAfter(int n);
  void setRtcHold(bool hold);  // a held clock does not tick

  // --- the I2C bus as the kernel offers it: a call that fails returns -1 and sets errno ---
  int i2cOpen();                       // open("/dev/i2c-1"): a descriptor; ENOENT or EACCES
  int i2cSelect(int fd, int address);  // ioctl I2C_SLAVE: 0; EBUSY when a driver holds the clock
  int i2cSetup(int devId);             // both, as wiringPiI2CSetup makes them, traced
  int i2cRead(int handle, int reg);    // a byte data read: 0-255; ENXIO (no chip), EIO (a failed transfer)
  int i2cWrite(int handle, int reg, int value);  // a byte data write: 0

  // --- the GPIO header ---
  void setInput(int pin, int level);
  void setSchedule(int pin, const std::vector<LevelStep>& steps);  // last step holds
  void clearInput(int pin);  // back to what pull and output say
  PinState pin(int pin) const;
  // A user outside group gpio (and not root): the GPIO memory does not open.
  void setGpioDenied(bool denied);
  int gpioSetup();  // 0, or -1 with errno EACCES when denied; traced
  void gpioMode(int pin, int mode);
  void gpioWrite(int pin, int level);
  int gpioRead(int pin);
  void gpioPull(int pin, int pud);

  // --- trace and stand-in records ---
  std::vector<TraceEvent> trace(const std::string& opPrefix = "") const;  // only ops that begin so
  void clearTrace();
  std::filesystem::path commandLog() const { return dir_ / "commands"; }
  // One argument vector per call of a stand-in, program name first.
  std::vector<std::vector<std::string>> commands() const;

 private:
  explicit Board(std::filesystem::path dir) : dir_(std::move(dir)) {}
  std::filesystem::path dir_;
};

// "op arg arg...", as a trace line shows an event after its time and pid.
std::string describe(const TraceEvent& event);
std::vector<std::string> describe(const std::vector<TraceEvent>& events);

// The clock's arithmetic, shared with the tests: registers 0-6 moved on by `seconds`, and alarm
// 2's flag raised when a minute that starts on the way matches registers 11-13.
// Returns false (and leaves them) when they do not hold a valid date.
bool advanceClock(Registers& regs, std::int64_t seconds);

}  // namespace simboard
