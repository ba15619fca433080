// vboard: the virtual Orvix board from the shell. See `vboard --help`. Here: its command line;
// each group of commands has a file of its own (vboard.h).
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"
#include "orvix_tools.h"
#include "perf.h"
#include "vboard.h"

namespace fs = std::filesystem;

namespace vboard {

const char* const kHelp = R"(Usage: vboard [--board DIR] COMMAND [ARGS...]

The virtual Orvix board: a Pi with the board's RTC, GPIO and serial lines, for
running the suite's tools without the hardware. The board's state (the clock,
the pins, the trace) lives in DIR, default $XDG_RUNTIME_DIR/vboard or
/tmp/vboard-UID, and outlives each command, like the battery-backed board.

Commands:
  run [OPTIONS] -- TOOL [ARGS...]
                        run TOOL on the board, in a private namespace: its /dev
                        holds only the board's serial names that are asked for,
                        the outside programs are where orvix-setup links them on
                        a Pi (avrdude and its configuration from Debian, the
                        loader and the pin-wait sketch from this build) with
                        nothing done to the host's /home or /usr/bin, and
                        stand-ins for sudo and date record their calls instead
                        of touching the system clock, which nothing in the run
                        may set. Exits with the tool's status; a signal to
                        vboard goes on to the tool, and killed, vboard takes
                        the tool with it.
      --line NAMES        bind the serial names (comma-separated, e.g.
                          /dev/ttyS0,/dev/Arduino) to one pseudo-terminal whose far
                          side is a scripted sketch, even while the microcontroller runs
      --answer LINE=BYTES the sketch answers a line LINE with BYTES (C escapes
                          \r \n \t \\ \xHH); may be repeated
      --raw               the line starts raw (no canonical mode, echo or CR/LF mapping)
      --show-line         after the run, print on stderr what the tool sent
      --file PATH=FILE    bind FILE at a fixed path (/home/velmont/avrdude,
                          /home/velmont/avrdude.conf, /home/pi/bin/mcuload,
                          /home/pi/bin/mcusketches/WaitSketch.hex, /usr/bin/xterm)
      --bare              a Pi without orvix-setup: the fixed paths are absent
                          unless bound with --file
      --no-standins       use the system's own sudo and date (date -s still fails)
      --timeout SEC       stop the tool after SEC seconds (SIGTERM, SIGKILL 2 s later),
                          1 to 86400 (default: none)
      --scratch           use a fresh board, removed afterwards
  rtc show              print the 19 clock registers, the date they hold (the day of
                        the week 1 = Sunday) and whether wake-up alarm 2 has fired
  rtc set YYYY-MM-DD HH:MM:SS
                        set the clock (24-hour mode; it keeps ticking)
  rtc regs [HEX...]     print all 19 registers, or write the bytes from register 0 on
  rtc nobus|denied|busy|nochip
                        a fault of the Pi's I2C bus, as the tools meet it on a Pi:
                        nobus   no /dev/i2c-1 (I2C not enabled): opening it fails
                        denied  the user is not in group i2c: opening it fails
                        busy    a kernel RTC driver holds address 0x68: selecting fails
                        nochip  nothing answers at 0x68: opening works, transfers fail
  rtc absent|present    take the clock chip off the bus (the same as nobus: the
                        I2C open fails), or put it back
  rtc fail [N]|ok       make transfers fail (after N more good ones), or work again;
                        present and ok both end every fault of the bus
  rtc hold|tick         stop the clock, or let it run
  gpio set PIN LEVEL    drive input PIN (BCM number) to LEVEL 0 or 1
  gpio clear PIN        leave PIN to its pull resistor and output again
  gpio show             print each pin a tool has touched: mode, level, pull
  gpio deny|allow       the user may not open the GPIO memory (not in group gpio,
                        not root), or may again
  trace [--clear]       print every I2C transfer and GPIO call (us pid op args), or clear it
  commands              print the calls the stand-ins recorded, one per line
  mcu start [--sketch FILE.hex]
                        start the board's microcontroller in the background: an
                        atmega328p simulated in real time, running optiboot and
                        FILE.hex (else a blank flash); a rise of GPIO 23 resets it,
                        and while it runs, run binds /dev/ttyAMA0, /dev/ttyS0 and
                        /dev/Arduino to its serial line (unless --line is given)
  mcu stop              stop the microcontroller
  mcu log               print what the chip sent and received, its resets and pins
  pin PIN LEVEL         drive the microcontroller's pin D0-D13 or A0-A5 at 0 or 1
  adc N MILLIVOLTS      put MILLIVOLTS (0-5000) on its analog input N (0-7)
  bench [--runs N] [--quick] [--check]
                        measure the tools on scratch boards and print one Markdown
                        table: their fixed waits, their overhead and throughput
                        against a minimal C program, idle CPU time and footprint;
                        each figure the median of N runs (default 5); --quick skips
                        buttonwatch's whole 100 s run and shortens the idle
                        measurement; --check ends with status 1 when a figure
                        misses its goal
  --help                this text
)";

[[noreturn]] void usage(const std::string& why) {
  std::cerr << "vboard: " << why << "\nTry 'vboard --help'.\n";
  std::exit(2);
}

fs::path defaultBoardDir() {
  if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run) return fs::path(run) / "vboard";
  return fs::path("/tmp") / ("vboard-" + std::to_string(getuid()));
}

int number(const std::string& s, int base) {
  try {
    std::size_t used = 0;
    const int v = std::stoi(s, &used, base);
    if (used == s.size()) return v;
  } catch (const std::exception&) {
  }
  usage("not a number: " + s);
}

// C escapes of --answer: \r \n \t \\ \xHH.
std::string unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    if (c == 'r') out += '\r';
    else if (c == 'n') out += '\n';
    else if (c == 't') out += '\t';
    else if (c == 'x') {
      const std::string digits = s.substr(i + 1, 2);
      if (digits.size() != 2 || !std::isxdigit(static_cast<unsigned char>(digits[0])) ||
          !std::isxdigit(static_cast<unsigned char>(digits[1])))
        usage("\\x takes two hex digits: " + s);
      out += static_cast<char>(std::stoi(digits, nullptr, 16));
      i += 2;
    } else out += c;
  }
  return out;
}

std::string escape(const std::string& s) {
  std::string out;
  char hex[5];
  for (unsigned char c : s) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\\') out += "\\\\";
    else if (c < 0x20 || c >= 0x7F) {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else out += static_cast<char>(c);
  }
  return out;
}

// A number within [lo, hi], else a usage error that says what `what` takes.
int numberIn(const std::string& s, int lo, int hi, const std::string& what) {
  try {
    std::size_t used = 0;
    const long v = std::stol(s, &used, 10);
    if (used == s.size() && v >= lo && v <= hi) return static_cast<int>(v);
  } catch (const std::exception&) {
  }
  usage(what + " takes " + std::to_string(lo) + " to " + std::to_string(hi) + ", not '" + s + "'");
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::stringstream in(s);
  for (std::string part; std::getline(in, part, sep);)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

}  // namespace vboard

using namespace vboard;

int main(int argc, char* argv[]) {
  std::vector<std::string> args(argv + 1, argv + argc);
  fs::path boardDir = defaultBoardDir();
  if (args.size() >= 2 && args[0] == "--board") {
    boardDir = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) usage("no command");
  const std::string cmd = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  try {
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
      std::fputs(kHelp, stdout);
      std::string tools;
      for (const auto& tool : orvix::kTools) tools += " " + tool;
      std::printf("\nThe suite's programs, for run:%s\n", tools.c_str());
      return 0;
    }
    if (cmd == "run") return runTool(boardDir, rest);
    if (cmd == "bench") return benchCommand(rest);
    if (cmd == "mcu") return mcu(boardDir, rest);
    if (cmd == "pin" || cmd == "adc") {
      // One word each: the chip's control takes one command a line.
      if (rest.size() != 2 || (rest[0] + rest[1]).find_first_of(" \t\r\n") != std::string::npos)
        usage(cmd == "pin" ? "pin takes PIN LEVEL" : "adc takes N MILLIVOLTS");
      return mcuControl(boardDir, cmd + " " + rest[0] + " " + rest[1]);
    }
    bench::Board board = bench::Board::create(boardDir);
    if (cmd == "rtc") return rtc(board, rest);
    if (cmd == "gpio") return gpio(board, rest);
    if (cmd == "trace") return trace(board, rest);
    if (cmd == "commands") return commands(board);
  } catch (const std::exception& e) {
    std::cerr << "vboard: " << e.what() << '\n';
    return 1;
  }
  usage("unknown command " + cmd);
}
