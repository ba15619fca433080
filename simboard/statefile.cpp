#include "statefile.h"

#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <stdexcept>

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

constexpr std::int64_t kDayUs = std::int64_t{86400} * 1000000;
// More steps than any schedule has; a count beyond it comes from a damaged file.
constexpr std::size_t kMaxSteps = 1 << 16;

// A folder is a board's when it carries this mark, which only a board's creation writes.
constexpr const char* kMark = ".vboard";

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

}  // namespace

std::int64_t realtimeMicros() { return kernelMicros(CLOCK_REALTIME); }
std::int64_t monotonicMicros() { return kernelMicros(CLOCK_MONOTONIC); }

[[noreturn]] void fail(const fs::path& what, const std::string& why) {
  throw std::runtime_error(what.string() + ": " + why);
}

[[noreturn]] void failErrno(const fs::path& what, const std::string& doing) {
  // ELOOP: the file is a symbolic link, which O_NOFOLLOW refused.
  fail(what, doing + ": " + (errno == ELOOP ? "it is a symbolic link" : std::strerror(errno)));
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

int openFolder(const fs::path& dir, int flags) {
  return ::open(dir.c_str(), flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int openIn(int dirFd, const char* name, int flags, mode_t mode) {
  return ::openat(dirFd, name, flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

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

void markFolder(int dirFd, const fs::path& dir) {
  // Only an empty folder becomes a board: one with files in it is someone's folder.
  const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* list = listFd < 0 ? nullptr : ::fdopendir(listFd);
  if (!list) failErrno(dir, "cannot read the board folder");
  bool empty = true;
  while (const dirent* e = ::readdir(list))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0 && std::strcmp(e->d_name, kMark) != 0)
      empty = false;
  ::closedir(list);
  if (!empty) fail(dir, "not a board folder: it holds files but no board mark; give an empty or new folder");
  const int mark = openIn(dirFd, kMark, O_WRONLY | O_CREAT | O_EXCL);
  if (mark < 0 && errno != EEXIST) failErrno(dir / kMark, "cannot mark the board folder");
  if (mark >= 0) {
    static const char kText[] = "Orvix virtual board (vboard)\n";
    const bool written = ::write(mark, kText, sizeof kText - 1) == sizeof kText - 1;
    if (::close(mark) != 0 || !written) failErrno(dir / kMark, "cannot mark the board folder");
  }
}

Locked::Locked(const fs::path& dir, bool mayBeNew)
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

Locked::~Locked() noexcept(false) {
  if (dirty_ && std::uncaught_exceptions() == uncaught_) save();
}

void Locked::trace(const std::string& op, const std::vector<int>& args) {
  std::ostringstream line;
  line << monotonicMicros() << ' ' << getpid() << ' ' << op;
  for (int a : args) line << ' ' << a;
  line << '\n';
  const std::string s = line.str();
  const Fd fd(openIn(dirFd_.get(), "trace", O_WRONLY | O_APPEND | O_CREAT));
  if (fd.get() < 0) return;
  (void)!::write(fd.get(), s.data(), s.size());
}

void Locked::damaged(int number, const std::string& line) const {
  fail(dir_ / "state", "damaged board state: line " + std::to_string(number) + " cannot be read: \"" + line + "\"");
}

void Locked::load(const std::string& text) {
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

void Locked::save() {
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

}  // namespace simboard
