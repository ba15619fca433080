#include "board.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <sstream>

#include "calendar.h"
#include "statefile.h"

namespace fs = std::filesystem;

namespace simboard {
namespace {

// Moves registers 0-6 on by `elapsed` seconds, if the chip holds a valid date.
void tick(State& s, std::int64_t nowUs) {
  if (s.hold) {
    s.baseUs = nowUs;
    return;
  }
  const std::int64_t elapsed = (nowUs - s.baseUs) / 1000000;
  if (elapsed <= 0) return;
  advanceClock(s.regs, elapsed);
  s.baseUs += elapsed * 1000000;
}

bool transferFails(State& s) {
  if (s.failAfter < 0) return false;
  if (s.failAfter == 0) return true;
  --s.failAfter;
  return false;
}

void writeRegisters(State& s, const std::vector<std::uint8_t>& bytes, int first, std::int64_t now) {
  tick(s, now);
  bool time = false;
  for (std::size_t i = 0; i < bytes.size() && first + i < s.regs.size(); ++i) {
    s.regs[first + i] = bytes[i];
    time = time || first + i <= 6;
  }
  if (time) s.baseUs = now;
}

// Descriptors that i2cOpen handed out in this process, with the address selected (-1: none).
std::map<int, int>& handles() {
  static std::map<int, int> h;
  return h;
}

int pinLevel(const State& s, int pin) {
  if (auto in = s.inputs.find(pin); in != s.inputs.end() && !in->second.steps.empty()) {
    const std::int64_t ms = (monotonicMicros() - in->second.sinceUs) / 1000;
    int level = in->second.steps.front().level;
    for (const auto& step : in->second.steps)
      if (step.ms <= ms) level = step.level;
    return level;
  }
  auto p = s.pins.find(pin);
  if (p == s.pins.end()) return 0;
  if (p->second.mode == 1) return p->second.level;
  return p->second.pull == 2 ? 1 : 0;
}

}  // namespace

namespace {

// Each state of the I2C bus: its name, as `vboard rtc` takes it, and the errno of each step
// of a transfer that it fails (0: the step works). A new fault of the bus is a row here.
struct BusFault {
  RtcBus bus;
  const char* name;
  int openError, selectError, transferError;
};
constexpr BusFault kBusFaults[] = {
    {RtcBus::kOk, "ok", 0, 0, 0},
    {RtcBus::kNoBus, "nobus", ENOENT, 0, ENXIO},
    {RtcBus::kDenied, "denied", EACCES, 0, ENXIO},
    {RtcBus::kBusy, "busy", 0, EBUSY, ENXIO},
    {RtcBus::kNoChip, "nochip", 0, 0, ENXIO},
};

const BusFault& fault(RtcBus bus) {
  for (const BusFault& f : kBusFaults)
    if (f.bus == bus) return f;
  return kBusFaults[0];
}

}  // namespace

const char* busName(RtcBus bus) { return fault(bus).name; }

std::optional<RtcBus> busFromName(const std::string& name) {
  for (const BusFault& f : kBusFaults)
    if (name == f.name) return f.bus;
  return std::nullopt;
}

std::string describe(const TraceEvent& event) {
  std::string line = event.op;
  for (int a : event.args) {
    line += ' ';
    line += std::to_string(a);
  }
  return line;
}

std::vector<std::string> describe(const std::vector<TraceEvent>& events) {
  std::vector<std::string> lines;
  for (const auto& e : events) lines.push_back(describe(e));
  return lines;
}

std::optional<Board> Board::open(const fs::path& dir) {
  const Fd folder(vetFolder(dir));
  struct stat st {};
  if (folder.get() < 0 || (::fstatat(folder.get(), "state", &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT))
    return std::nullopt;
  checkOwner(folder.get(), dir);
  if (!marked(folder.get())) fail(dir, "not a board folder: it has no board mark");
  return Board(dir);
}

Board Board::create(const fs::path& dir) {
  if (!dir.parent_path().empty()) fs::create_directories(dir.parent_path());
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) failErrno(dir, "cannot make the board folder");
  {
    const Fd folder(vetFolder(dir));
    checkOwner(folder.get(), dir);
    if (!marked(folder.get())) markFolder(folder.get(), dir);
  }
  Locked l(dir, true);
  if (l.fresh()) {
    // A new board's clock was set to the current time, like a board out of the box.
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    writeRegisters(l.change(), timeBytes(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec),
                   0, realtimeMicros());
  }
  return Board(dir);
}

Registers Board::rtcRegisters() const {
  Locked l(dir_);
  tick(l.state(), realtimeMicros());
  return l.state().regs;
}

void Board::setRtcRegisters(const std::vector<std::uint8_t>& bytes, int first) {
  Locked l(dir_);
  writeRegisters(l.change(), bytes, first, realtimeMicros());
}

void Board::setRtcTime(int year, int month, int day, int hour, int minute, int second) {
  setRtcRegisters(timeBytes(year, month, day, hour, minute, second));
}

void Board::setRtcBus(RtcBus bus) {
  Locked l(dir_);
  l.change().bus = bus;
}

void Board::setRtcFailAfter(int n) {
  Locked l(dir_);
  l.change().failAfter = n < 0 ? -1 : n;
}

void Board::setRtcHold(bool hold) {
  Locked l(dir_);
  State& s = l.change();
  tick(s, realtimeMicros());
  s.hold = hold;
}

// As a system call, each step sets errno only when it fails, and last: the board's own file
// handling under the lock may change it.
int Board::i2cOpen() {
  const int callerErrno = errno;
  int fd = -1, error = 0;
  {
    Locked l(dir_);
    if (const int e = fault(l.state().bus).openError)
      error = e;
    else if ((fd = openIn(l.dirFd(), "state", O_RDONLY)) < 0)
      error = errno;
    else
      handles()[fd] = -1;
  }
  errno = error ? error : callerErrno;
  return fd;
}

int Board::i2cSelect(int fd, int address) {
  const int callerErrno = errno;
  int error = 0;
  {
    Locked l(dir_);
    auto h = handles().find(fd);
    if (h == handles().end())
      error = EBADF;
    else if (const int e = fault(l.state().bus).selectError; e && address == kRtcAddress)
      error = e;
    else
      h->second = address;
  }
  errno = error ? error : callerErrno;
  return error ? -1 : 0;
}

int Board::i2cSetup(int devId) {
  int fd = i2cOpen();
  int error = errno;
  if (fd >= 0 && i2cSelect(fd, devId) != 0) {
    error = errno;
    // wiringPi leaves the descriptor open; here it would only be lost.
    handles().erase(fd);
    ::close(fd);
    fd = -1;
  }
  {
    Locked l(dir_);
    l.trace("i2c-setup", {devId, fd});
  }
  errno = error;
  return fd;
}

namespace {

constexpr int kStatusRegister = 15;
constexpr std::uint8_t kStatusFlags = 0x83;

// Why a transfer on `handle` fails, or 0 when it reaches the clock's register `reg`.
int transferError(State& s, int handle, int reg) {
  auto h = handles().find(handle);
  if (h == handles().end()) return EBADF;
  if (h->second != kRtcAddress) return ENXIO;
  if (const int e = fault(s.bus).transferError) return e;
  if (reg < 0 || reg >= kRtcRegisters || transferFails(s)) return EIO;
  return 0;
}

// One transfer to the clock's register `reg` on `handle`, as i2c-dev makes it: `act` gives its
// result when the handle and the bus let it through. Traced as `op` with `args` and the result;
// as a system call, errno is set only when it fails.
template <class Act>
int transfer(const fs::path& dir, int handle, int reg, const char* op, std::vector<int> args, Act act) {
  const int callerErrno = errno;
  int result = -1;
  int error = 0;
  {
    Locked l(dir);
    State& s = l.change();
    error = transferError(s, handle, reg);
    if (!error) result = act(s, realtimeMicros());
    args.push_back(result);
    l.trace(op, args);
  }
  errno = error ? error : callerErrno;
  return result;
}

}  // namespace

int Board::i2cRead(int handle, int reg) {
  return transfer(dir_, handle, reg, "i2c-read", {reg}, [&](State& s, std::int64_t now) {
    tick(s, now);
    return int{s.regs[reg]};
  });
}

int Board::i2cWrite(int handle, int reg, int value) {
  return transfer(dir_, handle, reg, "i2c-write", {reg, value & 0xFF}, [&](State& s, std::int64_t now) {
    tick(s, now);
    std::uint8_t byte = static_cast<std::uint8_t>(value);
    // The status register's flags (oscillator stopped, alarm 1, alarm 2) are cleared by
    // writing 0; a 1 leaves them as they are.
    if (reg == kStatusRegister) byte = static_cast<std::uint8_t>((byte & ~kStatusFlags) | (byte & s.regs[reg] & kStatusFlags));
    s.regs[reg] = byte;
    if (reg <= 6) s.baseUs = now;
    return 0;
  });
}

void Board::setInput(int pin, int level) { setSchedule(pin, {{0, level}}); }

void Board::setSchedule(int pin, const std::vector<LevelStep>& steps) {
  Locked l(dir_);
  l.change().inputs[pin] = State::Input{monotonicMicros(), steps};
}

void Board::clearInput(int pin) {
  Locked l(dir_);
  l.change().inputs.erase(pin);
}

PinState Board::pin(int pin) const {
  Locked l(dir_);
  PinState p;
  if (auto it = l.state().pins.find(pin); it != l.state().pins.end()) p = it->second;
  return p;
}

void Board::setGpioDenied(bool denied) {
  Locked l(dir_);
  l.change().gpioDenied = denied;
}

int Board::gpioSetup() {
  bool denied = false;
  {
    Locked l(dir_);
    denied = l.state().gpioDenied;
    l.trace("gpio-setup", {denied ? -1 : 0});
  }
  if (denied) errno = EACCES;
  return denied ? -1 : 0;
}

void Board::gpioMode(int pin, int mode) {
  Locked l(dir_);
  l.change().pins[pin].mode = mode;
  l.trace("gpio-mode", {pin, mode});
}

void Board::gpioWrite(int pin, int level) {
  Locked l(dir_);
  l.change().pins[pin].level = level ? 1 : 0;
  l.trace("gpio-write", {pin, level ? 1 : 0});
}

int Board::gpioRead(int pin) {
  Locked l(dir_);
  const int level = pinLevel(l.state(), pin);
  l.trace("gpio-read", {pin, level});
  return level;
}

void Board::gpioPull(int pin, int pud) {
  Locked l(dir_);
  l.change().pins[pin].pull = pud;
  l.trace("gpio-pull", {pin, pud});
}

std::vector<TraceEvent> Board::trace(const std::string& opPrefix) const {
  Locked l(dir_);
  std::vector<TraceEvent> events;
  std::istringstream in(readIn(l.dirFd(), dir_, "trace").value_or(""));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    TraceEvent e;
    fields >> e.us >> e.pid >> e.op;
    for (int a; fields >> a;) e.args.push_back(a);
    if (e.op.compare(0, opPrefix.size(), opPrefix) == 0) events.push_back(std::move(e));
  }
  return events;
}

void Board::clearTrace() {
  Locked l(dir_);
  const Fd fd(openIn(l.dirFd(), "trace", O_WRONLY | O_CREAT | O_TRUNC));
  if (fd.get() < 0) failErrno(dir_ / "trace", "cannot clear");
}

std::vector<std::vector<std::string>> Board::commands() const {
  std::vector<std::vector<std::string>> calls;
  const Fd folder(openFolder(dir_));
  if (folder.get() < 0) failErrno(dir_, "cannot open the board folder");
  std::istringstream in(readIn(folder.get(), dir_, commandLog().filename().c_str()).value_or(""));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> argv;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
      argv.push_back(line.substr(start, tab - start));
    argv.push_back(line.substr(start));
    calls.push_back(std::move(argv));
  }
  return calls;
}

}  // namespace simboard
