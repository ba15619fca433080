// vboard: the virtual Orvix board from the shell. See `vboard --help`.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"
#include "perf.h"

namespace fs = std::filesystem;

namespace {

const char* const kHelp = R"(Usage: vboard [--board DIR] COMMAND [ARGS...]

The virtual Orvix board: a Pi with the board's RTC, GPIO and serial lines, for
running the suite's tools without the hardware. The board's state (the clock,
the pins, the trace) lives in DIR, default $XDG_RUNTIME_DIR/vboard or
/tmp/vboard-UID, and outlives each command, like the battery-backed board.

Commands:
  run [OPTIONS] -- TOOL [ARGS...]
                        run TOOL on the board, in a private namespace: its /dev
                        holds only the board's serial names that are asked for,
                        the fixed outside programs are absent unless bound, and
                        stand-ins for sudo and date record their calls instead
                        of touching the system clock. Exits with the tool's status.
      --line NAMES        bind the serial names (comma-separated, e.g.
                          /dev/ttyS0,/dev/Arduino) to one pseudo-terminal whose far
                          side is a scripted sketch
      --answer LINE=BYTES the sketch answers a line LINE with BYTES (C escapes
                          \r \n \t \\ \xHH); may be repeated
      --raw               the line starts raw (no canonical mode, echo or CR/LF mapping)
      --show-line         after the run, print on stderr what the tool sent
      --file PATH=FILE    bind FILE at a fixed path (/home/velmont/avrdude,
                          /home/velmont/avrdude.conf, /home/pi/bin/mcuload,
                          /home/pi/bin/mcusketches/WaitSketch.hex, /usr/bin/xterm)
      --no-standins       use the system's own sudo and date
      --timeout SEC       kill the tool after SEC seconds (default: none)
      --scratch           use a fresh board, removed afterwards
  rtc show              print the 19 clock registers and the date they hold
  rtc set YYYY-MM-DD HH:MM:SS
                        set the clock (24-hour mode; it keeps ticking)
  rtc regs [HEX...]     print all 19 registers, or write the bytes from register 0 on
  rtc absent|present    take the clock chip off the bus, or put it back
  rtc fail [N]|ok       make transfers fail (after N more good ones), or work again
  rtc hold|tick         stop the clock, or let it run
  gpio set PIN LEVEL    drive input PIN (BCM number) to LEVEL 0 or 1
  gpio clear PIN        leave PIN to its pull resistor and output again
  gpio show             print each pin a tool has touched: mode, level, pull
  trace [--clear]       print every I2C transfer and GPIO call (us pid op args), or clear it
  commands              print the calls the stand-ins recorded, one per line
  bench [--runs N] [--quick]
                        measure the tools on scratch boards and print one Markdown
                        table: their fixed waits, their overhead against a minimal C
                        program, throughput, idle CPU time and footprint; each figure
                        the median of N runs (default 5); --quick skips buttonwatch's
                        whole 100 s run and shortens the idle measurement
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
    else if (c == 'x' && i + 2 < s.size()) {
      out += static_cast<char>(number(s.substr(i + 1, 2), 16));
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

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::stringstream in(s);
  for (std::string part; std::getline(in, part, sep);)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

int runTool(const fs::path& boardDir, std::vector<std::string> args) {
  bench::RunSpec spec;
  spec.inheritStdio = true;
  spec.timeoutMs = 0;
  std::vector<std::string> names;
  std::vector<std::pair<std::string, std::string>> answers;
  bool raw = false, showLine = false, scratch = false;
  std::size_t i = 0;
  for (; i < args.size() && args[i] != "--"; ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) usage(a + " needs a value");
      return args[++i];
    };
    if (a == "--line") names = split(value(), ',');
    else if (a == "--answer") {
      const std::string v = value();
      const auto eq = v.find('=');
      if (eq == std::string::npos) usage("--answer takes LINE=BYTES");
      answers.emplace_back(v.substr(0, eq), unescape(v.substr(eq + 1)));
    } else if (a == "--raw") raw = true;
    else if (a == "--show-line") showLine = true;
    else if (a == "--file") {
      const std::string v = value();
      const auto eq = v.find('=');
      if (eq == std::string::npos) usage("--file takes PATH=FILE");
      spec.files[v.substr(0, eq)] = fs::absolute(v.substr(eq + 1));
    } else if (a == "--no-standins") spec.standIns = false;
    else if (a == "--timeout") spec.timeoutMs = number(value()) * 1000;
    else if (a == "--scratch") scratch = true;
    else usage("unknown run option " + a);
  }
  if (i + 1 >= args.size()) usage("run needs -- TOOL [ARGS...]");
  spec.argv.assign(args.begin() + static_cast<long>(i) + 1, args.end());

  std::optional<bench::ScratchBoard> scratchBoard;
  std::optional<bench::Board> named;
  if (scratch) scratchBoard.emplace();
  else named.emplace(bench::Board::create(boardDir));
  const bench::Board& board = scratch ? scratchBoard->get() : *named;

  std::optional<bench::Line> line;
  std::optional<bench::SketchPeer> peer;
  if (!names.empty()) {
    line.emplace();
    if (raw) {
      termios t = line->settings();
      cfmakeraw(&t);
      tcsetattr(line->slave(), TCSANOW, &t);
    }
    for (const auto& n : names) spec.lines[n] = line->slavePath();
    peer.emplace(*line);
    for (const auto& [l, bytes] : answers) peer->onLine(l, bytes);
    peer->start();
  }
  const bench::RunResult r = bench::run(board, std::move(spec));
  if (peer) {
    peer->stop();
    if (showLine) std::cerr << "line: " << escape(peer->receivedBytes()) << '\n';
  }
  if (r.timedOut) {
    std::cerr << "vboard: " << args[i + 1] << " killed after its time limit\n";
    return 124;
  }
  return r.signal ? 128 + r.signal : r.status;
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
  } else if (cmd == "set") {
    int y, mo, d, h, mi, s;
    if (args.size() != 3 || std::sscanf(args[1].c_str(), "%d-%d-%d", &y, &mo, &d) != 3 ||
        std::sscanf(args[2].c_str(), "%d:%d:%d", &h, &mi, &s) != 3)
      usage("rtc set takes YYYY-MM-DD HH:MM:SS");
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
  } else if (cmd == "absent" || cmd == "present") {
    board.setRtcPresent(cmd == "present");
  } else if (cmd == "fail") {
    board.setRtcFailAfter(args.size() > 1 ? number(args[1]) : 0);
  } else if (cmd == "ok") {
    board.setRtcFailAfter(-1);
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
    const int level = number(args[2]);
    if (level != 0 && level != 1) usage("a level is 0 or 1");
    board.setInput(number(args[1]), level);
  } else if (args[0] == "clear" && args.size() == 2) {
    board.clearInput(number(args[1]));
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
  } else {
    usage("gpio takes set PIN LEVEL, clear PIN or show");
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

}  // namespace

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
      return 0;
    }
    if (cmd == "run") return runTool(boardDir, rest);
    if (cmd == "bench") return benchCommand(rest);
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
