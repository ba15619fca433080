// vboard: the virtual Orvix board from the shell. See `vboard --help`. Here: its command line
// and the board's own commands (rtc, gpio, trace, commands); run and mcu have files of their
// own (vboard.h).
#include <unistd.h>

#include <cctype>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
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

int number(const std::string& s, int base = 10) {
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

int pinNumber(const std::string& s) { return numberIn(s, 0, simboard::kPins - 1, "a GPIO pin"); }

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::stringstream in(s);
  for (std::string part; std::getline(in, part, sep);)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

void printRegisters(const bench::Board& board) {
  const auto regs = board.rtcRegisters();
  for (std::size_t r = 0; r < regs.size(); ++r) std::printf("%s%02x", r ? " " : "", regs[r]);
  std::printf("\n");
}

int rtc(bench::Board board, const std::vector<std::string>& args) {
  if (args.empty()) usage("rtc needs a command");
  const std::string& cmd = args[0];
  if (cmd == "show") {
    const auto r = board.rtcRegisters();
    printRegisters(board);
    auto bcd = [](std::uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); };
    std::printf("20%02d-%02d-%02d %02d:%02d:%02d weekday %d\n", bcd(r[6]), bcd(r[5] & 0x1F), bcd(r[4] & 0x3F),
                bcd(r[2] & 0x3F), bcd(r[1] & 0x7F), bcd(r[0] & 0x7F), r[3] & 0x07);
    // The chip drives its interrupt output on a fired alarm 2 when INTCN and A2IE are set.
    const bool fired = r[15] & 0x02, interrupt = (r[14] & 0x06) == 0x06;
    std::printf("alarm 2 %02x %02x %02x, control %02x, status %02x: %s\n", r[11], r[12], r[13], r[14], r[15],
                !fired ? "not fired" : interrupt ? "fired, interrupt raised" : "fired, interrupt off");
  } else if (cmd == "set") {
    int y, mo, d, h, mi, s;
    if (args.size() != 3 || std::sscanf(args[1].c_str(), "%d-%d-%d", &y, &mo, &d) != 3 ||
        std::sscanf(args[2].c_str(), "%d:%d:%d", &h, &mi, &s) != 3)
      usage("rtc set takes YYYY-MM-DD HH:MM:SS");
    // The chip holds the years of one century, which the tools read as 20YY.
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    std::tm check = tm;
    timegm(&check);
    if (y < 2000 || y > 2099 || check.tm_year != tm.tm_year || check.tm_mon != tm.tm_mon ||
        check.tm_mday != tm.tm_mday || check.tm_hour != h || check.tm_min != mi || check.tm_sec != s)
      usage("rtc set: not a date and time of 2000-2099: " + args[1] + " " + args[2]);
    board.setRtcTime(y, mo, d, h, mi, s);
  } else if (cmd == "regs") {
    if (args.size() == 1) {
      printRegisters(board);
      return 0;
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 1; i < args.size(); ++i) {
      const int v = number(args[i], 16);
      if (v < 0 || v > 0xFF) usage("not a byte: " + args[i]);
      bytes.push_back(static_cast<std::uint8_t>(v));
    }
    if (bytes.size() > simboard::kRtcRegisters) usage("the clock has 19 registers");
    board.setRtcRegisters(bytes);
  } else if (const auto bus = simboard::busFromName(cmd); bus && bus != simboard::RtcBus::kOk) {
    board.setRtcBus(*bus);
  } else if (cmd == "absent") {
    board.setRtcBus(simboard::RtcBus::kNoBus);
  } else if (cmd == "present" || cmd == "ok") {
    board.setRtcBus(simboard::RtcBus::kOk);
    board.setRtcFailAfter(-1);
  } else if (cmd == "fail") {
    if (args.size() > 2) usage("rtc fail takes [N]");
    board.setRtcFailAfter(args.size() > 1 ? numberIn(args[1], 0, std::numeric_limits<int>::max(), "rtc fail") : 0);
  } else if (cmd == "hold" || cmd == "tick") {
    board.setRtcHold(cmd == "hold");
  } else {
    usage("unknown rtc command " + cmd);
  }
  return 0;
}

int gpio(bench::Board board, const std::vector<std::string>& args) {
  if (args.empty()) usage("gpio needs a command");
  if (args[0] == "set" && args.size() == 3) {
    const int pin = pinNumber(args[1]);
    const int level = number(args[2]);
    if (level != 0 && level != 1) usage("a level is 0 or 1");
    board.setInput(pin, level);
  } else if (args[0] == "clear" && args.size() == 2) {
    board.clearInput(pinNumber(args[1]));
  } else if (args[0] == "show") {
    static const char* const modes[] = {"input", "output"};
    static const char* const pulls[] = {"off", "down", "up"};
    std::vector<bool> touched(simboard::kPins);
    for (const auto& e : board.trace())
      if (e.op.rfind("gpio-", 0) == 0 && e.op != "gpio-setup" && !e.args.empty() && e.args[0] >= 0 &&
          e.args[0] < simboard::kPins)
        touched[e.args[0]] = true;
    for (int p = 0; p < simboard::kPins; ++p) {
      if (!touched[p]) continue;
      const auto s = board.pin(p);
      std::printf("%d %s level %d pull %s\n", p, modes[s.mode & 1], s.level, pulls[s.pull % 3]);
    }
  } else if ((args[0] == "deny" || args[0] == "allow") && args.size() == 1) {
    board.setGpioDenied(args[0] == "deny");
  } else {
    usage("gpio takes set PIN LEVEL, clear PIN, show, deny or allow");
  }
  return 0;
}

int trace(bench::Board board, const std::vector<std::string>& args) {
  if (!args.empty() && args[0] == "--clear") {
    board.clearTrace();
    return 0;
  }
  for (const auto& e : board.trace())
    std::printf("%lld %d %s\n", static_cast<long long>(e.us), e.pid, simboard::describe(e).c_str());
  return 0;
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
    if (cmd == "commands") {
      for (const auto& call : board.commands()) {
        for (std::size_t i = 0; i < call.size(); ++i) std::printf("%s%s", i ? " " : "", escape(call[i]).c_str());
        std::printf("\n");
      }
      return 0;
    }
  } catch (const std::exception& e) {
    std::cerr << "vboard: " << e.what() << '\n';
    return 1;
  }
  usage("unknown command " + cmd);
}
