// vboard: the virtual Orvix board from the shell. See `vboard --help`.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "bench.h"
#include "perf.h"

namespace fs = std::filesystem;

extern char** environ;

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
                        the outside programs are where orvix-setup links them on
                        a Pi (avrdude and its configuration from Debian, the
                        loader and the pin-wait sketch from this build), and
                        stand-ins for sudo and date record their calls instead
                        of touching the system clock, which nothing in the run
                        may set. Exits with the tool's status; a signal to
                        vboard goes on to the tool.
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
      --timeout SEC       kill the tool after SEC seconds, 1 to 86400 (default: none)
      --scratch           use a fresh board, removed afterwards
  rtc show              print the 19 clock registers and the date they hold
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

constexpr int kMaxTimeoutS = 86400;  // a day: longer is a mistake, and would overflow in milliseconds

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

// --- the board's microcontroller ---
// It is the program vmcu, built beside vboard, left running in a session of its own. The
// file mcu/chip in the board's folder finds it again: "pid PID" and "port PATH" lines. Beside
// it: its control socket, its log and its error output.

fs::path mcuDir(const fs::path& boardDir) { return fs::absolute(boardDir) / "mcu"; }

struct RunningChip {
  pid_t pid = -1;
  std::string port;
};

// The board's chip while it runs. The pid must still be a vmcu on this board's control
// socket, and not a process that has taken the number since.
std::optional<RunningChip> runningChip(const fs::path& boardDir) {
  std::ifstream in(mcuDir(boardDir) / "chip");
  RunningChip chip;
  std::string pidKey, portKey;
  if (!(in >> pidKey >> chip.pid >> portKey >> chip.port) || pidKey != "pid" || portKey != "port") return std::nullopt;
  std::ifstream cmdline("/proc/" + std::to_string(chip.pid) + "/cmdline");
  const std::string args{std::istreambuf_iterator<char>(cmdline), std::istreambuf_iterator<char>()};
  const std::string control = std::string("--control") + '\0' + (mcuDir(boardDir) / "control").string() + '\0';
  if (args.find(control) == std::string::npos) return std::nullopt;  // gone, or a zombie without a command line
  return chip;
}

std::optional<RunningChip> neededChip(const fs::path& boardDir) {
  auto chip = runningChip(boardDir);
  if (!chip) std::cerr << "vboard: no microcontroller runs on this board (see 'vboard mcu start')\n";
  return chip;
}

// Reads from `fd` until a line end; false when the time runs out or the other side closes.
bool readLine(int fd, std::string& got, int timeoutMs) {
  const std::int64_t deadline = bench::monotonicMicros() + std::int64_t{timeoutMs} * 1000;
  while (got.find('\n') == std::string::npos) {
    const std::int64_t left = (deadline - bench::monotonicMicros()) / 1000;
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    got.append(buf, static_cast<std::size_t>(n));
  }
  got.erase(got.find('\n'));
  return true;
}

// Held while a chip starts; the lock goes with the descriptor.
class StartLock {
 public:
  explicit StartLock(const fs::path& file) : fd_(::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), file.string());
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~StartLock() { ::close(fd_); }
  StartLock(const StartLock&) = delete;
  StartLock& operator=(const StartLock&) = delete;

 private:
  int fd_;
};

int mcuStart(const fs::path& boardDir, const std::vector<std::string>& args) {
  fs::path sketch;
  if (args.size() == 2 && args[0] == "--sketch")
    sketch = fs::absolute(args[1]);
  else if (!args.empty())
    usage("mcu start takes [--sketch FILE.hex]");
  const fs::path program = fs::read_symlink("/proc/self/exe").parent_path() / "vmcu";
  if (access(program.c_str(), X_OK) != 0) {
    std::cerr << "vboard: no microcontroller in this build: " << program.string()
              << " is missing (it needs simavr and the firmware toolchain)\n";
    return 1;
  }
  bench::Board::create(boardDir);  // the chip's RESET follows the board's GPIO 23
  const fs::path dir = mcuDir(boardDir);
  fs::create_directories(dir);
  // One start at a time on a board: a second one waits here, then finds the chip running.
  const StartLock lock(dir / "start.lock");
  if (const auto chip = runningChip(boardDir)) {
    std::cerr << "vboard: the microcontroller already runs (pid " << chip->pid << "); 'vboard mcu stop' first\n";
    return 1;
  }
  for (const char* old : {"chip", "log", "errors"}) fs::remove(dir / old);

  std::vector<std::string> argvs = {program.string(), "--board", fs::absolute(boardDir).string(), "--control",
                                    (dir / "control").string(), "--log", (dir / "log").string()};
  if (!sketch.empty()) argvs.insert(argvs.end(), {"--sketch", sketch.string()});
  std::vector<char*> argv;
  for (auto& a : argvs) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  // None of vboard's streams stays with the chip: whoever waits for their end (a shell's
  // $(...), the bench) is not held up by it, nor is it ended with vboard's terminal.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir / "errors").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int err = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(out[1]);
  if (err != 0) {
    ::close(out[0]);
    throw std::system_error(err, std::generic_category(), "starting " + program.string());
  }
  std::string said;
  const bool up = readLine(out[0], said, 10000);
  ::close(out[0]);
  if (!up || said.rfind("port ", 0) != 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::ifstream errors(dir / "errors");
    std::cerr << "vboard: the microcontroller did not start\n" << errors.rdbuf();
    return 1;
  }
  const std::string port = said.substr(5);
  {
    std::ofstream(dir / "chip.new") << "pid " << pid << "\nport " << port << "\n";
  }
  fs::rename(dir / "chip.new", dir / "chip");  // whole or not at all, for a run that looks at once
  std::printf("microcontroller running: pid %d, serial line %s\n", pid, port.c_str());
  return 0;
}

int mcuStop(const fs::path& boardDir) {
  const auto chip = neededChip(boardDir);
  fs::remove(mcuDir(boardDir) / "chip");
  if (!chip) return 1;
  // Through a pidfd, so that no other process that might take the number is signalled.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, chip->pid, 0));
  if (pidfd < 0 && errno != ENOSYS) return 0;  // it has just ended
  // Without pidfds (older kernels, valgrind) by the number, which is only a little less safe.
  auto signal = [&](int sig) {
    if (pidfd >= 0)
      syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0);
    else
      kill(chip->pid, sig);
  };
  auto ended = [&](int ms) {
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      return poll(&p, 1, ms) > 0;
    }
    for (int waited = 0; waited < ms; waited += 10) {
      if (kill(chip->pid, 0) != 0) return true;
      usleep(10000);
    }
    return false;
  };
  signal(SIGTERM);
  if (!ended(3000)) {
    signal(SIGKILL);
    ended(3000);
  }
  if (pidfd >= 0) ::close(pidfd);
  return 0;
}

// One control line to the running chip (see vmcu.cpp); its refusals are usage errors.
int mcuControl(const fs::path& boardDir, const std::string& line) {
  if (!neededChip(boardDir)) return 1;
  const std::string path = (mcuDir(boardDir) / "control").string();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("control socket path too long: " + path);
  std::strcpy(addr.sun_path, path.c_str());
  const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const std::string request = line + "\n";
  std::string reply;
  const bool answered = sock >= 0 && ::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                        ::write(sock, request.data(), request.size()) == static_cast<ssize_t>(request.size()) &&
                        readLine(sock, reply, 5000);
  if (sock >= 0) ::close(sock);
  if (!answered) throw std::runtime_error("the microcontroller does not answer on " + path);
  if (reply.rfind("error ", 0) == 0) usage(reply.substr(6));
  return 0;
}

int mcu(const fs::path& boardDir, const std::vector<std::string>& args) {
  if (args.empty()) usage("mcu needs start, stop or log");
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "start") return mcuStart(boardDir, rest);
  if (args[0] == "stop" && rest.empty()) return mcuStop(boardDir);
  if (args[0] == "log" && rest.empty()) {
    std::ifstream log(mcuDir(boardDir) / "log");
    if (!log) {
      std::cerr << "vboard: no microcontroller log on this board\n";
      return 1;
    }
    std::cout << log.rdbuf();
    return 0;
  }
  usage("mcu takes start [--sketch FILE.hex], stop or log");
}

// While a tool runs, the signals that would end vboard go on to the tool's process group:
// killing vboard ends the tool, and vboard still cleans up after it. Until the tool is
// known they wait, blocked in every thread of vboard's.
class PassSignalsOn {
 public:
  PassSignalsOn() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kSignals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &old_);
    struct sigaction action {};
    action.sa_handler = passOn;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int sig : kSignals) sigaction(sig, &action, nullptr);
  }
  ~PassSignalsOn() { group_ = 0; }
  PassSignalsOn(const PassSignalsOn&) = delete;
  PassSignalsOn& operator=(const PassSignalsOn&) = delete;

  void to(pid_t group) {
    group_ = group;
    sigprocmask(SIG_SETMASK, &old_, nullptr);
  }
  // The tool has ended: a signal now would find its group gone, or another's.
  void stop() { group_ = 0; }

 private:
  static constexpr int kSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2};
  static void passOn(int sig) {
    if (group_ > 0) kill(-group_, sig);
  }
  static inline volatile sig_atomic_t group_ = 0;
  sigset_t old_{};
};

int runTool(const fs::path& boardDir, std::vector<std::string> args) {
  bench::RunSpec runSpec;
  runSpec.inheritStdio = true;
  runSpec.timeoutMs = 0;
  std::vector<std::string> names;
  std::vector<std::pair<std::string, std::string>> answers;
  bool raw = false, showLine = false, scratch = false, bare = false;
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
      runSpec.files[v.substr(0, eq)] = fs::absolute(v.substr(eq + 1));
    } else if (a == "--bare") bare = true;
    else if (a == "--no-standins") runSpec.standIns = false;
    else if (a == "--timeout") runSpec.timeoutMs = numberIn(value(), 1, kMaxTimeoutS, "--timeout") * 1000;
    else if (a == "--scratch") scratch = true;
    else usage("unknown run option " + a);
  }
  if (i + 1 >= args.size()) usage("run needs -- TOOL [ARGS...]");
  runSpec.argv.assign(args.begin() + static_cast<long>(i) + 1, args.end());
  if (!bare)
    for (const auto& [path, file] : bench::setUpPi()) runSpec.files.emplace(path, file);  // --file comes first

  PassSignalsOn signals;  // before the sketch's thread starts, so that it inherits the block
  std::optional<bench::ScratchBoard> scratchBoard;
  std::optional<bench::Board> named;
  if (scratch) scratchBoard.emplace();
  else named.emplace(bench::Board::create(boardDir));
  const bench::Board& board = scratch ? scratchBoard->get() : *named;

  std::optional<bench::Line> line;
  std::optional<bench::SketchPeer> peer;
  if (!names.empty()) {
    line.emplace();
    if (raw) line->setRaw();
    for (const auto& n : names) runSpec.lines[n] = line->slavePath();
    peer.emplace(*line);
    for (const auto& [l, bytes] : answers) peer->onLine(l, bytes);
    peer->start();
  } else if (const auto chip = scratch ? std::nullopt : runningChip(boardDir)) {
    for (const auto& n : bench::kSerialNames) runSpec.lines[n] = chip->port;
  }
  bench::Process tool(board, std::move(runSpec));
  signals.to(tool.pid());
  const bench::RunResult r = tool.wait();
  signals.stop();
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
