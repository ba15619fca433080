// vmcu: the board's atmega328p, simulated at 16 MHz and paced to real time, with its
// UART on a pseudo-terminal.
//
//   vmcu [--line FD] [--board DIR] [--sketch FILE.hex] [--bootloader FILE.hex]
//        [--control SOCKET] [--log FILE] [--parent PID]
//
// The chip starts in optiboot, which hands over to the sketch in flash (--sketch puts
// one there first). Its UART is wired to the pseudo-terminal master FD (a bench Line's)
// or to one of its own; "port PATH" on standard output names the port once the chip
// runs. A rising edge of GPIO 23 of the board in DIR resets the chip, as the board's
// coupling does. Control lines on the socket, each answered "ok", a value, or "error ...":
//   pin D6 1      drives Arduino pin D0-D13 or A0-A5 at level 0 or 1
//   adc 2 3000    puts 3000 mV on analog input 2 (the references are 5000 mV)
//   reset         an external reset pulse
//   cycles        the cycles run since power-on
// SIGTERM or SIGINT stops it, and so does the end of process PID (a test that died
// leaves no chip behind).
//
// The chip's parts are in sim/: the core (atmega.h), its serial port (port.h), the reset line
// and the control socket (control.h), its log (log.h). Here: the options, the control lines'
// meaning, and the loop that paces the chip to real time and meets the world between slices.
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <poll.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sim/atmega.h"
#include "sim/basics.h"
#include "sim/control.h"
#include "sim/log.h"
#include "sim/port.h"

using namespace vmcu::sim;

namespace {

constexpr avr_cycle_count_t kSliceCycles = kHz / 1000;  // the chip runs 1 ms, then meets the world
constexpr std::int64_t kMaxLagUs = 250'000;             // further behind than this is forgiven, not raced

// "D0"-"D13" and "A0"-"A5", the Arduino names, as a port and a bit of the chip.
std::optional<std::pair<char, int>> arduinoPin(const std::string& name) {
  if (name.size() < 2 || (name[0] != 'D' && name[0] != 'A')) return std::nullopt;
  const std::string digits = name.substr(1);
  if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 2) return std::nullopt;
  const int n = std::stoi(digits);
  if (name[0] == 'A') return n <= 5 ? std::optional(std::pair{'C', n}) : std::nullopt;
  if (n <= 7) return std::pair{'D', n};
  if (n <= 13) return std::pair{'B', n - 8};
  return std::nullopt;
}

std::string command(Chip& chip, Log& log, const std::string& text) {
  std::istringstream words(text);
  std::string verb;
  words >> verb;
  if (verb == "pin") {
    std::string name;
    int level = -1;
    words >> name >> level;
    const auto pin = arduinoPin(name);
    if (!pin || (level != 0 && level != 1)) return "error usage: pin D0-D13|A0-A5 0|1";
    chip.drivePin(pin->first, pin->second, level);
  } else if (verb == "adc") {
    int channel = -1;
    long mv = -1;
    words >> channel >> mv;
    if (channel < 0 || channel > 7 || mv < 0 || mv > kMillivolts) return "error usage: adc 0-7 0-5000";
    chip.setAdc(channel, static_cast<std::uint32_t>(mv));
  } else if (verb == "reset") {
    chip.externalReset();
  } else if (verb == "cycles") {
    return std::to_string(chip.cycles());
  } else {
    return "error unknown command: " + text;
  }
  log.event(text);
  return "ok";
}

struct Options {
  int line = -1;
  fs::path board;
  fs::path sketch;
  fs::path bootloader = VMCU_BOOTLOADER_HEX;
  fs::path control;
  fs::path log;
  pid_t parent = -1;
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) die("usage: vmcu [--line FD] [--board DIR] [--sketch HEX] [--bootloader HEX] [--control SOCKET] [--log FILE] [--parent PID]");
    const std::string value = argv[++i];
    if (arg == "--line") {
      o.line = std::atoi(value.c_str());
    } else if (arg == "--board") {
      o.board = value;
    } else if (arg == "--sketch") {
      o.sketch = value;
    } else if (arg == "--bootloader") {
      o.bootloader = value;
    } else if (arg == "--control") {
      o.control = value;
    } else if (arg == "--log") {
      o.log = value;
    } else if (arg == "--parent") {
      o.parent = std::atoi(value.c_str());
    } else {
      die("unknown option " + arg);
    }
  }
  return o;
}

// A pseudo-terminal of the chip's own, when no line is given.
int ownMaster() {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) dieErrno("pseudo-terminal");
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);

  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  Fd stopFd(signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC));
  signal(SIGPIPE, SIG_IGN);
  Fd parent;
  if (o.parent > 0) {
    parent = Fd(static_cast<int>(syscall(SYS_pidfd_open, o.parent, 0)));  // readable once it ends
    if (parent.get() < 0) dieErrno("--parent " + std::to_string(o.parent));
  }

  Fd own;
  if (o.line < 0) own = Fd(ownMaster());
  Port port(o.line >= 0 ? o.line : own.get());
  Log log(o.log);
  Chip chip(o.bootloader, o.sketch);
  std::optional<ResetLine> reset;
  if (!o.board.empty()) reset.emplace(o.board);
  std::optional<Control> control;
  if (!o.control.empty()) control.emplace(o.control);

  std::string fromChip;
  chip.setOutput([&](std::uint8_t b) { fromChip += static_cast<char>(b); });
  std::string toChip;

  chip.powerOn();
  log.event("power-on");
  std::printf("port %s\n", port.path().c_str());
  std::fflush(stdout);

  std::int64_t baseUs = nowUs();
  avr_cycle_count_t baseCycles = chip.cycles();
  std::vector<pollfd> fds;
  bool stopped = false;
  for (;;) {
    std::size_t fed = 0;
    while (fed < toChip.size() && chip.canTake()) chip.input(static_cast<std::uint8_t>(toChip[fed++]));
    toChip.erase(0, fed);
    const bool running = chip.run(kSliceCycles);
    if (!running && !stopped) log.event("stopped, until a reset");
    stopped = !running;

    if (!fromChip.empty()) {
      if (port.open()) {
        const std::string heard = overTheWire(fromChip, chip.baud(), port.baud());
        port.send(heard);
        log.bytes("chip", heard);
      } else {
        log.bytes("lost", fromChip);
      }
      fromChip.clear();
    }

    // Sleep until the wall clock catches up with the chip, meeting the world meanwhile.
    std::int64_t dueUs = baseUs + static_cast<std::int64_t>((chip.cycles() - baseCycles) / (kHz / 1'000'000));
    std::int64_t waitUs = dueUs - nowUs();
    if (!running) waitUs = 10'000;
    if (waitUs < -kMaxLagUs) {
      baseUs = nowUs();
      baseCycles = chip.cycles();
      waitUs = 0;
    }
    enum { kStop, kParent, kMaster, kOpens, kReset, kControl };  // kControl and on: the control socket
    fds.clear();
    fds.push_back({stopFd.get(), POLLIN, 0});
    fds.push_back({parent.get(), POLLIN, 0});
    fds.push_back({port.master(), POLLIN, 0});
    fds.push_back({port.watch(), POLLIN, 0});
    fds.push_back({reset ? reset->watch() : -1, POLLIN, 0});
    if (control) control->addTo(fds);
    const timespec wait{0, waitUs > 0 ? static_cast<long>(waitUs) * 1000 : 0};
    if (ppoll(fds.data(), fds.size(), &wait, nullptr) < 0 && errno != EINTR) dieErrno("ppoll");
    const auto ready = [&](std::size_t i) { return (fds[i].revents & (POLLIN | POLLHUP)) != 0; };
    if (ready(kStop) || ready(kParent)) break;

    // Opens before bytes: a program's first request must find the port counted as open.
    if (ready(kOpens)) port.takeWatchEvents(log);
    if (ready(kMaster)) {
      const std::string got = port.receive();
      const std::string heard = overTheWire(got, port.baud(), chip.baud());
      log.bytes("pi", heard);
      toChip += heard;
    }
    if (ready(kReset) && reset->rose()) {
      chip.externalReset();
      log.event("reset");
    }
    bool asked = false;
    for (std::size_t i = kControl; i < fds.size(); ++i) asked = asked || ready(i);
    if (asked) control->serve([&](const std::string& line) { return command(chip, log, line); });
    log.tick();
    if (!running) {
      baseUs = nowUs();
      baseCycles = chip.cycles();
    }
  }
  return 0;
}
