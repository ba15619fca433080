// The virtual microcontroller, for tests: the board's atmega328p (the program vmcu)
// running optiboot and a sketch in real time, its UART on a serial line, its RESET
// coupled to the board's GPIO 23 (a rising edge resets it).
//
//   vmcu::sketch(name)            the built NAME.hex of a companion sketch (firmware/)
//   vmcu::bootloader()            the optiboot image the chip starts from
//   vmcu::program()               the vmcu program itself
//   Chip(board, line[, sketch])   the chip on a bench Line: tools open line.slavePath()
//   Chip(board[, sketch])         the chip on a pseudo-terminal of its own: port()
//   setPin / setAdc / reset       done between two instructions of the chip
//   cycles()                      the chip's cycles since power-on (16 per microsecond)
//   log() / waitLog(text, ms)     what the chip sent and received (format in vmcu.cpp)
//   stream(log, directions)       the bytes of some directions of a log, joined
//   waitStream(direction, text)   until those bytes hold text
//   cpuSeconds()                  the CPU time the simulator has used so far
//
// The line behaves like a wire: what the chip sends while no program has the port open
// is lost, and bytes at a rate other than the UART's come out garbled. The bench's own
// descriptor of a Line's slave does not count as open: a test talks to the chip by
// opening the port by its path, as a tool does.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bench.h"

namespace vmcu {

std::filesystem::path sketch(const std::string& name);
std::filesystem::path bootloader();
std::filesystem::path program();

// The bytes of a chip log in the given directions ("chip", "pi", "lost"), in order and escaped
// as the log writes them. The simulator logs what it moved in each of its slices, so one line
// of a sketch may be cut across entries, the more so on a busy machine or an echoing port.
std::string stream(const std::string& log, const std::vector<std::string>& directions);

class Chip {
 public:
  Chip(const bench::Board& board, bench::Line& line, const std::filesystem::path& sketch = {});
  explicit Chip(const bench::Board& board, const std::filesystem::path& sketch = {});
  ~Chip();  // stops the chip
  Chip(const Chip&) = delete;
  Chip& operator=(const Chip&) = delete;

  const std::string& port() const { return port_; }
  pid_t pid() const { return pid_; }

  // An Arduino pin, "D0" to "D13" or "A0" to "A5", driven from outside at 0 or 1;
  // it stays driven across resets.
  void setPin(const std::string& name, int level);
  void setAdc(int channel, int millivolts);  // against the chip's 5000 mV references
  void reset();                              // a pulse on RESET, as the board's coupling gives
  std::uint64_t cycles();
  std::string log() const;
  bool waitLog(const std::string& text, int timeoutMs) const;  // false when it did not come
  bool waitStream(const std::string& direction, const std::string& text, int timeoutMs) const;
  double cpuSeconds() const;

 private:
  void start(const bench::Board& board, int master, const std::filesystem::path& sketch);
  void stop();
  std::string ask(const std::string& line);

  bench::TempDir dir_;
  pid_t pid_ = -1;
  int control_ = -1;
  std::string port_;
};

}  // namespace vmcu
