#include "board.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace simboard {
namespace {

// The board's time comes from the kernel itself, past any library preloaded into a tool to give it
// a system time of its own (a test's libfaketime): the chip keeps the host's time whatever the
// tool believes, and the trace stays on the bench's clock.
std::int64_t kernelMicros(clockid_t id) {
#ifdef SYS_clock_gettime64
  struct {
    long long tv_sec, tv_nsec;
  } ts{};
  syscall(SYS_clock_gettime64, id, &ts);
#else
  timespec ts{};
  syscall(SYS_clock_gettime, id, &ts);
#endif
  return std::int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

std::int64_t realtimeMicros() { return kernelMicros(CLOCK_REALTIME); }

constexpr std::int64_t kDayUs = std::int64_t{86400} * 1000000;
// More steps than any schedule has; a count beyond it comes from a damaged file.
constexpr std::size_t kMaxSteps = 1 << 16;

[[noreturn]] void fail(const fs::path& what, const std::string& why) {
  throw std::runtime_error(what.string() + ": " + why);
}

[[noreturn]] void failErrno(const fs::path& what, const std::string& doing) {
  // ELOOP: the file is a symbolic link, which O_NOFOLLOW refused.
  fail(what, doing + ": " + (errno == ELOOP ? "it is a symbolic link" : std::strerror(errno)));
}

// A descriptor closed when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The board's folder, never through a symbolic link: vboard often runs as root, and a link
// planted in its place would have it write wherever the link points. -1 with errno set.
int openFolder(const fs::path& dir, int flags = O_PATH) {
  return ::open(dir.c_str(), flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// A file of the board's folder, never through a symbolic link.
int openIn(int dirFd, const char* name, int flags, mode_t mode = 0644) {
  return ::openat(dirFd, name, flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

// All of a file of the folder; nullopt when there is none.
std::optional<std::string> readIn(int dirFd, const fs::path& dir, const char* name) {
  const Fd fd(openIn(dirFd, name, O_RDONLY));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    failErrno(dir / name, "cannot read");
  }
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n == 0) return text;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failErrno(dir / name, "cannot read");
    text.append(buf, static_cast<std::size_t>(n));
  }
}

// Writes `text` to `name` whole: into a fresh file, renamed over the old one only after
// every byte went out, so a full disk or a crash leaves the old file as it was.
void replaceIn(int dirFd, const fs::path& dir, const char* name, const std::string& text) {
  const std::string aside = std::string(name) + ".new";
  ::unlinkat(dirFd, aside.c_str(), 0);  // left by a writer that died
  const int fd = openIn(dirFd, aside.c_str(), O_WRONLY | O_CREAT | O_EXCL);
  if (fd < 0) failErrno(dir / name, "cannot write");
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const int writeErr = done < text.size() ? (errno ? errno : EIO) : 0;
  const bool closed = ::close(fd) == 0;
  if (writeErr == 0 && closed && ::renameat(dirFd, aside.c_str(), dirFd, name) == 0) return;
  const int err = writeErr ? writeErr : errno;
  ::unlinkat(dirFd, aside.c_str(), 0);
  errno = err;
  failErrno(dir / name, "cannot write");
}

// A folder is a board's when it carries this mark, which only a board's creation writes.
constexpr const char* kMark = ".vboard";

// Refuses a folder that another user could change under the bench: one they own, or one
// their group or everyone may write to.
void checkOwner(int dirFd, const fs::path& dir) {
  struct stat st {};
  if (::fstat(dirFd, &st) != 0) failErrno(dir, "cannot read");
  if (st.st_uid != ::geteuid() && st.st_uid != 0)
    fail(dir, "the board folder belongs to user " + std::to_string(st.st_uid) + "; use a folder of your own");
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    fail(dir, std::string("other users may write to the board folder (mode ") + mode +
                  "); use a folder only you can write to");
  }
}

bool marked(int dirFd) {
  struct stat st {};
  return ::fstatat(dirFd, kMark, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

// Opens a board's folder that exists, or says why it is not one: -1 when there is no
// folder, else a descriptor.
int vetFolder(const fs::path& dir) {
  const int fd = openFolder(dir);
  if (fd < 0) {
    if (errno == ENOENT) return -1;
    if (errno == ELOOP || errno == ENOTDIR) {
      struct stat st {};
      if (::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        fail(dir, "the board folder is a symbolic link; give the folder itself");
    }
    failErrno(dir, "cannot open the board folder");
  }
  return fd;
}

// The whole board, as kept in the file "state".
struct State {
  RtcBus bus = RtcBus::kOk;
  bool gpioDenied = false;
  int failAfter = -1;
  bool hold = false;
  Registers regs{};
  std::int64_t baseUs = 0;  // wall time at which regs 0-6 were last set
  std::map<int, PinState> pins;
  struct Input {
    std::int64_t sinceUs = 0;  // monotonic time the schedule was set
    std::vector<LevelStep> steps;
  };
  std::map<int, Input> inputs;
};

// Holds the board's lock for one read-modify-write of its state. A state that cannot be
// read, or written back, is an error: never a default that a tool would take for the clock.
class Locked {
 public:
  // `mayBeNew`: a board being made has no state yet; it starts from the default one.
  explicit Locked(const fs::path& dir, bool mayBeNew = false)
      : dir_(dir), dirFd_(openFolder(dir)), lockFd_(dirFd_.get() < 0 ? -1 : openIn(dirFd_.get(), "lock", O_RDWR | O_CREAT)) {
    if (dirFd_.get() < 0) failErrno(dir, "cannot open the board folder");
    if (lockFd_.get() < 0) failErrno(dir / "lock", "cannot open the board's lock");
    while (flock(lockFd_.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    const auto text = readIn(dirFd_.get(), dir_, "state");
    if (text)
      load(*text);
    else if (mayBeNew)
      fresh_ = true;
    else
      fail(dir_ / "state", "the board has no state file");
    uncaught_ = std::uncaught_exceptions();
  }
  // Writes a changed state back, unless an exception is already on its way: an error in the
  // write is the caller's, as any other. The lock goes with the descriptor either way.
  ~Locked() noexcept(false) {
    if (dirty_ && std::uncaught_exceptions() == uncaught_) save();
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  bool fresh() const { return fresh_; }
  State& state() { return state_; }
  State& change() {
    dirty_ = true;
    return state_;
  }
  int dirFd() const { return dirFd_.get(); }

  void trace(const std::string& op, std::initializer_list<int> args) {
    std::ostringstream line;
    line << monotonicMicros() << ' ' << getpid() << ' ' << op;
    for (int a : args) line << ' ' << a;
    line << '\n';
    const std::string s = line.str();
    const Fd fd(openIn(dirFd_.get(), "trace", O_WRONLY | O_APPEND | O_CREAT));
    if (fd.get() < 0) return;
    (void)!::write(fd.get(), s.data(), s.size());
  }

 private:
  [[noreturn]] void damaged(int number, const std::string& line) const {
    fail(dir_ / "state", "damaged board state: line " + std::to_string(number) + " cannot be read: \"" + line + "\"");
  }

  void load(const std::string& text) {
    std::istringstream lines(text);
    std::set<std::string> seen;
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
      ++number;
      std::istringstream in(line);
      std::string key;
      if (!(in >> key)) continue;  // a blank line
      seen.insert(key);
      if (key == "rtc.bus") {
        std::string name;
        in >> name;
        const auto bus = busFromName(name);
        if (!bus) damaged(number, line);
        state_.bus = *bus;
      } else if (key == "rtc.present") {
        // A board made before the bus had faults of its own: absent was a bus without its device.
        bool present = true;
        in >> present;
        state_.bus = present ? RtcBus::kOk : RtcBus::kNoBus;
        seen.insert("rtc.bus");
      } else if (key == "gpio.denied") {
        in >> state_.gpioDenied;
      } else if (key == "rtc.fail") {
        in >> state_.failAfter;
      } else if (key == "rtc.hold") {
        in >> state_.hold;
      } else if (key == "rtc.base") {
        in >> state_.baseUs;
        // As for an input's start; a day ahead is allowed for a system clock set back.
        const std::int64_t now = realtimeMicros();
        if (state_.baseUs < 0 || state_.baseUs > now + kDayUs) state_.baseUs = now;
      } else if (key == "rtc.regs") {
        for (auto& r : state_.regs) {
          unsigned v = 0;
          in >> std::hex >> v >> std::dec;
          if (v > 0xFF) damaged(number, line);
          r = static_cast<std::uint8_t>(v);
        }
      } else if (key == "pin") {
        int n = 0;
        PinState p;
        in >> n >> p.mode >> p.level >> p.pull;
        state_.pins[n] = p;
      } else if (key == "input") {
        int n = 0;
        long long count = 0;
        State::Input input;
        in >> n >> input.sinceUs >> count;
        if (count < 0 || static_cast<unsigned long long>(count) > kMaxSteps) damaged(number, line);
        LevelStep s;
        for (long long i = 0; i < count && in >> s.ms >> s.level; ++i) input.steps.push_back(s);
        // A time no board wrote (a file changed by hand) would overflow the arithmetic on it.
        if (input.sinceUs < 0 || input.sinceUs > monotonicMicros()) input.sinceUs = monotonicMicros();
        state_.inputs[n] = input;
      } else {
        damaged(number, line);
      }
      if (in.fail() || !(in >> std::ws).eof()) damaged(number, line);
    }
    for (const char* key : {"rtc.bus", "rtc.fail", "rtc.hold", "rtc.base", "rtc.regs"})
      if (!seen.count(key))
        fail(dir_ / "state", std::string("damaged board state: no ") + key + " line (the file is cut short)");
  }

  void save() {
    std::ostringstream out;
    out << "rtc.bus " << busName(state_.bus) << "\ngpio.denied " << state_.gpioDenied << "\nrtc.fail " << state_.failAfter << "\nrtc.hold "
        << state_.hold << "\nrtc.base " << state_.baseUs << "\nrtc.regs";
    char hex[4];
    for (auto r : state_.regs) {
      std::snprintf(hex, sizeof hex, " %02x", r);
      out << hex;
    }
    out << '\n';
    for (const auto& [n, p] : state_.pins) out << "pin " << n << ' ' << p.mode << ' ' << p.level << ' ' << p.pull << '\n';
    for (const auto& [n, input] : state_.inputs) {
      out << "input " << n << ' ' << input.sinceUs << ' ' << input.steps.size();
      for (const auto& s : input.steps) out << ' ' << s.ms << ' ' << s.level;
      out << '\n';
    }
    replaceIn(dirFd_.get(), dir_, "state", out.str());
  }

  fs::path dir_;
  Fd dirFd_;
  Fd lockFd_;
  bool fresh_ = false;
  bool dirty_ = false;
  int uncaught_ = 0;
  State state_;
};

// --- calendar arithmetic on days since 1970-01-01 ---
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

bool bcd(std::uint8_t byte, std::uint8_t mask, int lo, int hi, int& value) {
  const int v = byte & mask;
  if ((v & 0x0F) > 9) return false;
  value = (v >> 4) * 10 + (v & 0x0F);
  return value >= lo && value <= hi;
}

std::uint8_t toBcd(int v) { return static_cast<std::uint8_t>((v / 10) << 4 | v % 10); }

int daysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return month == 2 && leap ? 29 : days[month - 1];
}

// Alarm 2 (registers 11-13): the minute, the hour and the day of the month or of the week, each
// compared unless its bit 7 says any. It matches at the start of a minute, at second 0.
bool alarm2Matches(const Registers& regs, int minute, int hour, int day, int weekday) {
  const std::uint8_t m = regs[11], h = regs[12], d = regs[13];
  int v = 0;
  if (!(m & 0x80) && (!bcd(m, 0x7F, 0, 59, v) || v != minute)) return false;
  if (!(h & 0x80)) {
    if (h & 0x40) {
      if (!bcd(h, 0x1F, 1, 12, v)) return false;
      v = v % 12 + ((h & 0x20) ? 12 : 0);
    } else if (!bcd(h, 0x3F, 0, 23, v)) {
      return false;
    }
    if (v != hour) return false;
  }
  if (!(d & 0x80)) {
    if (d & 0x40) return (d & 0x0F) == weekday;
    return bcd(d, 0x3F, 1, 31, v) && v == day;
  }
  return true;
}

// Sets alarm 2's flag (bit 1 of status register 15) when a minute that starts after `from` and
// by `to` (seconds of the civil calendar) matches it. Every pattern recurs within 62 days, so a
// longer stretch is looked at only in its last 62 days.
void raiseAlarm2(Registers& regs, std::int64_t from, std::int64_t to, int weekday) {
  if (regs[15] & 0x02) return;
  const std::int64_t last = to / 60;
  const std::int64_t first = std::max(from / 60 + 1, last - std::int64_t{62} * 1440);
  for (std::int64_t m = first; m <= last; ++m) {
    const std::int64_t days = m / 1440;
    int y, mo, d;
    civilFromDays(days, y, mo, d);
    const int wd = static_cast<int>((weekday - 1 + (days - from / 86400) % 7) % 7) + 1;
    if (alarm2Matches(regs, static_cast<int>(m % 60), static_cast<int>(m / 60 % 24), d, wd)) {
      regs[15] |= 0x02;
      return;
    }
  }
}

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

// Registers 0-6 for a date and time, 24-hour mode; the day of the week is 1 (Sunday) to 7, as
// the tools and Linux's driver for these chips count it.
std::vector<std::uint8_t> timeBytes(int year, int month, int day, int hour, int minute, int second) {
  const std::int64_t days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  const int weekday = static_cast<int>(((days % 7 + 7) % 7 + 4) % 7) + 1;  // 1970-01-01 was a Thursday
  return {toBcd(second), toBcd(minute), toBcd(hour), static_cast<std::uint8_t>(weekday), toBcd(day),
          toBcd(month), toBcd(((year % 100) + 100) % 100)};
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

std::int64_t monotonicMicros() { return kernelMicros(CLOCK_MONOTONIC); }

bool advanceClock(Registers& regs, std::int64_t seconds) {
  int sec, min, day, month, year, hour;
  const bool h12 = regs[2] & 0x40;
  if (!bcd(regs[0], 0x7F, 0, 59, sec) || !bcd(regs[1], 0x7F, 0, 59, min) || !bcd(regs[4], 0x3F, 1, 31, day) ||
      !bcd(regs[5], 0x1F, 1, 12, month) || !bcd(regs[6], 0xFF, 0, 99, year))
    return false;
  if (h12) {
    if (!bcd(regs[2], 0x1F, 1, 12, hour)) return false;
    hour = hour % 12 + ((regs[2] & 0x20) ? 12 : 0);
  } else if (!bcd(regs[2], 0x3F, 0, 23, hour)) {
    return false;
  }
  const int wday = regs[3] & 0x07;
  if (wday < 1 || day > daysInMonth(2000 + year, month)) return false;

  const std::int64_t start = daysFromCivil(2000 + year, month, day) * 86400 + hour * 3600 + min * 60 + sec;
  const std::int64_t t = start + seconds;
  raiseAlarm2(regs, start, t, wday);
  const std::int64_t days = t / 86400 - start / 86400;
  std::int64_t rest = t % 86400;
  int y, m, d;
  civilFromDays(t / 86400, y, m, d);
  hour = static_cast<int>(rest / 3600);
  rest %= 3600;

  regs[0] = static_cast<std::uint8_t>((regs[0] & 0x80) | toBcd(static_cast<int>(rest % 60)));
  regs[1] = static_cast<std::uint8_t>((regs[1] & 0x80) | toBcd(static_cast<int>(rest / 60)));
  if (h12) {
    const int h = hour % 12 == 0 ? 12 : hour % 12;
    regs[2] = static_cast<std::uint8_t>((regs[2] & 0xC0) | (hour >= 12 ? 0x20 : 0) | toBcd(h));
  } else {
    regs[2] = static_cast<std::uint8_t>((regs[2] & 0xC0) | toBcd(hour));
  }
  regs[3] = static_cast<std::uint8_t>((regs[3] & 0xF8) | ((wday - 1 + days % 7) % 7 + 1));
  regs[4] = static_cast<std::uint8_t>((regs[4] & 0xC0) | toBcd(d));
  // The century bit (bit 7 of the month) flips each time the year passes 99.
  const bool century = ((y - 2000) / 100) % 2 != 0;
  regs[5] = static_cast<std::uint8_t>((regs[5] & 0x60) | (((regs[5] & 0x80) != 0) != century ? 0x80 : 0) | toBcd(m));
  regs[6] = toBcd(((y - 2000) % 100 + 100) % 100);
  return true;
}

const char* busName(RtcBus bus) {
  switch (bus) {
    case RtcBus::kNoBus:
      return "nobus";
    case RtcBus::kDenied:
      return "denied";
    case RtcBus::kBusy:
      return "busy";
    case RtcBus::kNoChip:
      return "nochip";
    case RtcBus::kOk:
      break;
  }
  return "ok";
}

std::optional<RtcBus> busFromName(const std::string& name) {
  for (RtcBus bus : {RtcBus::kOk, RtcBus::kNoBus, RtcBus::kDenied, RtcBus::kBusy, RtcBus::kNoChip})
    if (name == busName(bus)) return bus;
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
    if (!marked(folder.get())) {
      // Only an empty folder becomes a board: one with files in it is someone's folder.
      const int listFd = ::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      DIR* list = listFd < 0 ? nullptr : ::fdopendir(listFd);
      if (!list) failErrno(dir, "cannot read the board folder");
      bool empty = true;
      while (const dirent* e = ::readdir(list))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 && std::strcmp(e->d_name, kMark) != 0)
          empty = false;
      ::closedir(list);
      if (!empty) fail(dir, "not a board folder: it holds files but no board mark; give an empty or new folder");
      const int mark = openIn(folder.get(), kMark, O_WRONLY | O_CREAT | O_EXCL);
      if (mark < 0 && errno != EEXIST) failErrno(dir / kMark, "cannot mark the board folder");
      if (mark >= 0) {
        static const char kText[] = "Orvix virtual board (vboard)\n";
        const bool written = ::write(mark, kText, sizeof kText - 1) == sizeof kText - 1;
        if (::close(mark) != 0 || !written) failErrno(dir / kMark, "cannot mark the board folder");
      }
    }
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
    if (l.state().bus == RtcBus::kNoBus)
      error = ENOENT;
    else if (l.state().bus == RtcBus::kDenied)
      error = EACCES;
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
    else if (address == kRtcAddress && l.state().bus == RtcBus::kBusy)
      error = EBUSY;
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
  if (h->second != kRtcAddress || s.bus != RtcBus::kOk) return ENXIO;
  if (reg < 0 || reg >= kRtcRegisters || transferFails(s)) return EIO;
  return 0;
}

}  // namespace

int Board::i2cRead(int handle, int reg) {
  const int callerErrno = errno;
  int result = -1, error = 0;
  {
    Locked l(dir_);
    State& s = l.change();
    error = transferError(s, handle, reg);
    if (!error) {
      tick(s, realtimeMicros());
      result = s.regs[reg];
    }
    l.trace("i2c-read", {reg, result});
  }
  errno = error ? error : callerErrno;
  return result;
}

int Board::i2cWrite(int handle, int reg, int value) {
  const int callerErrno = errno;
  int result = -1, error = 0;
  {
    Locked l(dir_);
    State& s = l.change();
    error = transferError(s, handle, reg);
    if (!error) {
      const std::int64_t now = realtimeMicros();
      tick(s, now);
      std::uint8_t byte = static_cast<std::uint8_t>(value);
      // The status register's flags (oscillator stopped, alarm 1, alarm 2) are cleared by
      // writing 0; a 1 leaves them as they are.
      if (reg == kStatusRegister) byte = static_cast<std::uint8_t>((byte & ~kStatusFlags) | (byte & s.regs[reg] & kStatusFlags));
      s.regs[reg] = byte;
      if (reg <= 6) s.baseUs = now;
      result = 0;
    }
    l.trace("i2c-write", {reg, value & 0xFF, result});
  }
  errno = error ? error : callerErrno;
  return result;
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
