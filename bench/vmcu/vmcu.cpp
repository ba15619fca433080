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
#include <fcntl.h>
#include <signal.h>
#include <simavr/avr_adc.h>
#include <simavr/avr_ioport.h>
#include <simavr/avr_uart.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_irq.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <poll.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "board.h"
#include "hexfile.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kHz = 16'000'000;
constexpr avr_cycle_count_t kSliceCycles = kHz / 1000;  // the chip runs 1 ms, then meets the world
constexpr std::int64_t kMaxLagUs = 250'000;             // further behind than this is forgiven, not raced
// simavr ignores the fuses: with BOOTRST and a 512-byte boot section the chip starts here.
constexpr avr_flashaddr_t kBootStart = 0x7E00;
constexpr std::uint16_t kMcusr = 0x54;  // data-space addresses
constexpr std::uint16_t kUcsr0a = 0xC0;
constexpr std::uint16_t kUcsr0b = 0xC1;
constexpr std::uint16_t kUbrr0l = 0xC4;
constexpr std::uint16_t kUbrr0h = 0xC5;
constexpr std::uint8_t kPorf = 1 << 0;
constexpr std::uint8_t kExtrf = 1 << 1;
constexpr std::uint8_t kU2x0 = 1 << 1;
constexpr std::uint8_t kRxTxEnable = (1 << 4) | (1 << 3);
constexpr int kResetGpio = simboard::kResetPin;
constexpr std::uint32_t kMillivolts = 5000;

std::int64_t nowUs() { return simboard::monotonicMicros(); }

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "vmcu: %s\n", what.c_str());
  std::exit(1);
}

[[noreturn]] void dieErrno(const std::string& what) { die(what + ": " + std::strerror(errno)); }

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

// What a receiver at `receiver` baud makes of bytes sent at `sender` baud: the bytes
// themselves within 5 %, else framing garbage (never a line end); a sender more than
// twice as fast as the receiver also loses most of its bytes between two start bits.
std::string overTheWire(std::string_view bytes, double sender, double receiver) {
  if (sender <= 0 || receiver <= 0) return {};
  const double ratio = sender / receiver;
  if (ratio > 0.95 && ratio < 1.05) return std::string(bytes);
  const std::size_t keepEvery = ratio > 2 ? static_cast<std::size_t>(ratio + 0.5) : 1;
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += keepEvery)
    out += static_cast<char>(0x80 | (static_cast<std::uint8_t>(bytes[i]) >> 1));
  return out;
}

double termiosBaud(speed_t s) {
  static const std::map<speed_t, double> rates = {
      {B0, 0},         {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
      {B150, 150},     {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},
      {B1800, 1800},   {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
      {B38400, 38400}, {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
      {B500000, 500000}, {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}};
  const auto it = rates.find(s);
  return it == rates.end() ? 0 : it->second;
}

std::string escaped(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// What the chip sent and received, and what happened to it, one line a time:
//   SECONDS chip "BYTES"   sent by the chip and delivered to the port
//   SECONDS lost "BYTES"   sent by the chip while no program had the port open
//   SECONDS pi "BYTES"     received by the chip, as it heard them
//   SECONDS EVENT          power-on, reset, port opened, port closed, pin D6 1, adc 2 3000,
//                          stopped (simavr halts a chip whose program crashed), until a reset
// Bytes of one direction are gathered into one line until 20 ms pass without more.
class Log {
 public:
  explicit Log(const fs::path& path) : startUs_(nowUs()) {
    if (path.empty()) return;
    file_ = std::fopen(path.c_str(), "a");
    if (file_ == nullptr) dieErrno("log " + path.string());
  }
  ~Log() {
    if (file_ == nullptr) return;
    flush();
    std::fclose(file_);
  }
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  void event(const std::string& what) {
    flush();
    write(nowUs(), what);
  }
  void bytes(std::string_view direction, std::string_view b) {
    if (file_ == nullptr || b.empty()) return;
    if (direction != direction_) flush();
    if (pending_.empty()) pendingUs_ = nowUs();
    direction_ = direction;
    pending_ += b;
    lastUs_ = nowUs();
  }
  void tick() {
    if (!pending_.empty() && nowUs() - lastUs_ > kGatherUs) flush();
  }

 private:
  static constexpr std::int64_t kGatherUs = 20'000;
  void flush() {
    if (pending_.empty()) return;
    write(pendingUs_, std::string(direction_) + " \"" + escaped(pending_) + "\"");
    pending_.clear();
  }
  void write(std::int64_t us, const std::string& what) {
    if (file_ == nullptr) return;
    std::fprintf(file_, "%.3f %s\n", static_cast<double>(us - startUs_) / 1e6, what.c_str());
    std::fflush(file_);
  }

  std::FILE* file_ = nullptr;
  std::int64_t startUs_;
  std::string_view direction_;
  std::string pending_;
  std::int64_t pendingUs_ = 0;
  std::int64_t lastUs_ = 0;
};

// simavr's own remarks go to standard error: standard output names the port.
void simavrLogger(avr_t*, const int level, const char* format, va_list ap) {
  if (level > LOG_ERROR) return;
  std::fputs("vmcu: simavr: ", stderr);
  std::vfprintf(stderr, format, ap);
}

// The simulated chip. Only the thread that runs it may call these.
class Chip {
 public:
  Chip(const fs::path& bootloader, const fs::path& sketch) {
    avr_global_logger_set(simavrLogger);
    avr_ = avr_make_mcu_by_name("atmega328p");
    if (avr_ == nullptr) die("simavr has no atmega328p");
    avr_init(avr_);
    avr_->frequency = kHz;
    avr_->vcc = avr_->avcc = avr_->aref = kMillivolts;
    avr_->log = LOG_ERROR;
    // Paced from outside: simavr's own sleeps would only slow it below real time.
    avr_->sleep = [](avr_t*, avr_cycle_count_t) {};
    std::span<std::uint8_t> flash(avr_->flash, avr_->flashend + 1);
    std::fill(flash.begin(), flash.end(), 0xFF);
    for (const auto& image : {bootloader, sketch}) {
      if (image.empty()) continue;
      if (auto error = vmcu::loadHex(image, flash)) die(*error);
    }
    avr_->reset_pc = kBootStart;
    // Resets come from outside and from the chip's own watchdog (optiboot ends that way);
    // after each, what the chip's surroundings hold is applied again.
    coreReset_ = avr_->reset;
    avr_->custom.data = this;  // unused by simavr while custom.init and deinit are unset
    avr_->reset = [](avr_t* avr) {
      auto* chip = static_cast<Chip*>(avr->custom.data);
      if (chip->coreReset_ != nullptr) chip->coreReset_(avr);
      chip->wasReset_ = true;
    };

    avr_irq_t* uart = avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), 0);
    uartInput_ = uart + UART_IRQ_INPUT;
    avr_irq_register_notify(uart + UART_IRQ_OUTPUT, &Chip::uartOutput, this);
    avr_irq_register_notify(uart + UART_IRQ_OUT_XON, &Chip::uartXon, this);
    avr_irq_register_notify(uart + UART_IRQ_OUT_XOFF, &Chip::uartXoff, this);
  }
  ~Chip() { avr_terminate(avr_); }
  Chip(const Chip&) = delete;
  Chip& operator=(const Chip&) = delete;

  void setOutput(std::function<void(std::uint8_t)> f) { output_ = std::move(f); }

  void powerOn() { restart(kPorf); }
  void externalReset() { restart(kExtrf); }

  // Runs `cycles` more; false when the chip has stopped (until a reset).
  bool run(avr_cycle_count_t cycles) {
    const avr_cycle_count_t end = avr_->cycle + cycles;
    while (avr_->cycle < end) {
      const int state = avr_run(avr_);
      if (wasReset_) surroundings();
      if (state == cpu_Done || state == cpu_Crashed) return false;
    }
    return true;
  }
  bool stopped() const { return avr_->state == cpu_Done || avr_->state == cpu_Crashed; }
  avr_cycle_count_t cycles() const { return avr_->cycle; }

  // The UART's rate as its registers set it; 0 while it neither sends nor receives.
  double baud() const {
    if ((avr_->data[kUcsr0b] & kRxTxEnable) == 0) return 0;
    const unsigned ubrr = (avr_->data[kUbrr0h] & 0x0F) << 8 | avr_->data[kUbrr0l];
    const unsigned divisor = (avr_->data[kUcsr0a] & kU2x0) ? 8 : 16;
    return static_cast<double>(kHz) / (divisor * (ubrr + 1));
  }

  bool canTake() const { return xon_; }
  void input(std::uint8_t byte) { avr_raise_irq(uartInput_, byte); }

  // Levels driven from outside stay driven: a reset clears the PIN registers, so they
  // are applied again after each one.
  void drivePin(char port, int bit, int level) {
    driven_[{port, bit}] = level;
    avr_raise_irq(pinIrq(port, bit), level);
  }
  void setAdc(int channel, std::uint32_t millivolts) {
    analog_[channel] = millivolts;
    avr_raise_irq(avr_io_getirq(avr_, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC0 + channel), millivolts);
  }

 private:
  avr_irq_t* pinIrq(char port, int bit) { return avr_io_getirq(avr_, AVR_IOCTL_IOPORT_GETIRQ(port), bit); }

  void restart(std::uint8_t cause) {
    avr_reset(avr_);  // also clears MCUSR, which optiboot reads to tell an external reset
    avr_->data[kMcusr] |= cause;
    surroundings();
  }

  // What the chip's surroundings hold, applied again after a reset.
  void surroundings() {
    wasReset_ = false;
    // The UART's poll sleep makes the bootloader crawl under real-time pacing.
    std::uint32_t flags = 0;
    avr_ioctl(avr_, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
    flags &= ~(AVR_UART_FLAG_POLL_SLEEP | AVR_UART_FLAG_STDIO);
    avr_ioctl(avr_, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
    xon_ = true;
    // The reset zeroed the PIN registers but not the IRQs' values, which an IRQ raised
    // to the same value would keep; hence the change back and forth.
    for (const auto& [pin, level] : driven_) {
      avr_raise_irq(pinIrq(pin.first, pin.second), !level);
      avr_raise_irq(pinIrq(pin.first, pin.second), level);
    }
    for (const auto& [channel, mv] : analog_)
      avr_raise_irq(avr_io_getirq(avr_, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC0 + channel), mv);
  }

  static void uartOutput(avr_irq_t*, std::uint32_t value, void* self) {
    auto* chip = static_cast<Chip*>(self);
    if (chip->output_) chip->output_(static_cast<std::uint8_t>(value));
  }
  static void uartXon(avr_irq_t*, std::uint32_t, void* self) { static_cast<Chip*>(self)->xon_ = true; }
  static void uartXoff(avr_irq_t*, std::uint32_t, void* self) { static_cast<Chip*>(self)->xon_ = false; }

  avr_t* avr_ = nullptr;
  void (*coreReset_)(avr_t*) = nullptr;
  bool wasReset_ = false;
  avr_irq_t* uartInput_ = nullptr;
  bool xon_ = true;
  std::function<void(std::uint8_t)> output_;
  std::map<std::pair<char, int>, int> driven_;
  std::map<int, std::uint32_t> analog_;
};

// The chip's end of the serial line: a pseudo-terminal master. Like a real UART's
// line it carries bytes only while a program has the port open: opens and closes of
// the slave are watched, and what the chip sends while no one has it open is lost.
// The bench's own descriptor of a Line's slave, opened before, does not count.
class Port {
 public:
  explicit Port(int master) : master_(master) {
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) dieErrno("--line is not a pseudo-terminal master");
    path_ = name;
    // Held, so the line lives while no program has it open, and its unread input can
    // be dropped when the last one closes it, as closing a real port does.
    slave_ = Fd(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (slave_.get() < 0) dieErrno(path_);
    watch_ = Fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (watch_.get() < 0 || inotify_add_watch(watch_.get(), name, IN_OPEN | IN_CLOSE) < 0)
      dieErrno("watching " + path_);
    flags_ = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, flags_ | O_NONBLOCK);
  }
  ~Port() { fcntl(master_, F_SETFL, flags_); }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  const std::string& path() const { return path_; }
  int master() const { return master_; }
  int watch() const { return watch_.get(); }
  bool open() const { return users_ > 0; }

  void takeWatchEvents(Log& log) {
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = ::read(watch_.get(), buf, sizeof buf)) > 0;) {
      for (char* p = buf; p < buf + n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(p);
        if (e->mask & IN_OPEN) {
          ++users_;
          log.event("port opened");
        }
        if ((e->mask & IN_CLOSE) && users_ > 0) {
          if (--users_ == 0) tcflush(slave_.get(), TCIFLUSH);
          log.event("port closed");
        }
        p += sizeof(inotify_event) + e->len;
      }
    }
  }

  // The rate the program set on the port (the master reads the slave's settings).
  double baud() const {
    termios t{};
    if (tcgetattr(master_, &t) != 0) return 0;
    return termiosBaud(cfgetospeed(&t));
  }

  void send(std::string_view bytes) {
    // A program that does not read loses what overflows, as a real UART would.
    if (!bytes.empty()) (void)!::write(master_, bytes.data(), bytes.size());
  }
  std::string receive() {
    std::string got;
    char buf[512];
    for (ssize_t n; (n = ::read(master_, buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
    return got;
  }

 private:
  int master_;
  int flags_ = 0;
  std::string path_;
  Fd slave_;
  Fd watch_;
  int users_ = 0;
};

// The board's coupling of GPIO 23 to the chip's RESET: each change of the board's state
// is noticed through its directory, and a rise of the line resets the chip.
class ResetLine {
 public:
  explicit ResetLine(const fs::path& dir) : board_(simboard::Board::open(dir)) {
    if (!board_) die("no board in " + dir.string());
    watch_ = Fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (watch_.get() < 0 || inotify_add_watch(watch_.get(), dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0)
      dieErrno("watching " + dir.string());
    high_ = level();
  }
  int watch() const { return watch_.get(); }

  // After the board changed: true when the line went from low to high.
  bool rose() {
    alignas(inotify_event) char buf[4096];
    bool changed = false;
    for (ssize_t n; (n = ::read(watch_.get(), buf, sizeof buf)) > 0;) {
      for (char* p = buf; p < buf + n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(p);
        if (e->len > 0 && std::string_view(e->name) == "state") changed = true;
        p += sizeof(inotify_event) + e->len;
      }
    }
    if (!changed) return false;
    const bool was = std::exchange(high_, level());
    return high_ && !was;
  }

 private:
  // Only a pin driven as an output holds the line up.
  bool level() const {
    const auto p = board_->pin(kResetGpio);
    return p.mode == 1 && p.level == 1;
  }
  std::optional<simboard::Board> board_;
  Fd watch_;
  bool high_ = false;
};

// Control lines from other programs, over a Unix socket.
class Control {
 public:
  explicit Control(fs::path path) : path_(std::move(path)) {
    listen_ = Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.native().size() >= sizeof addr.sun_path) die("control socket path too long: " + path_.string());
    std::strcpy(addr.sun_path, path_.c_str());
    ::unlink(path_.c_str());
    if (listen_.get() < 0 || ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_.get(), 8) != 0)
      dieErrno("control socket " + path_.string());
  }
  ~Control() { ::unlink(path_.c_str()); }
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  void addTo(std::vector<pollfd>& fds) const {
    fds.push_back({listen_.get(), POLLIN, 0});
    for (const auto& c : clients_) fds.push_back({c.fd.get(), POLLIN, 0});
  }

  // Accepts, reads, and answers every whole line with `apply`.
  void serve(const std::function<std::string(const std::string&)>& apply) {
    for (int fd; (fd = ::accept4(listen_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;)
      clients_.push_back({Fd(fd), {}});
    for (auto it = clients_.begin(); it != clients_.end();) {
      char buf[256];
      ssize_t n;
      while ((n = ::read(it->fd.get(), buf, sizeof buf)) > 0) it->pending.append(buf, static_cast<std::size_t>(n));
      for (std::size_t nl; (nl = it->pending.find('\n')) != std::string::npos;) {
        const std::string reply = apply(it->pending.substr(0, nl)) + "\n";
        it->pending.erase(0, nl + 1);
        (void)!::write(it->fd.get(), reply.data(), reply.size());
      }
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
        it = clients_.erase(it);
      else
        ++it;
    }
  }

 private:
  struct Client {
    Fd fd;
    std::string pending;
  };
  fs::path path_;
  Fd listen_;
  std::vector<Client> clients_;
};

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
