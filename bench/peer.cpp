#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cerrno>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "bench.h"

namespace bench {

namespace {

// The slave echoes within microseconds of taking input; an echo this late is taken as never coming.
constexpr std::int64_t kEchoWaitUs = 1000000;
// While no one holds the slave the master reports a hang-up at once; look again after this.
constexpr std::int64_t kHangUpPauseUs = 10000;

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// What the slave's line discipline echoes for `bytes` (Linux n_tty), from its input, local and
// output flags. Characters whose echo depends on what came before are left out: erase, kill, word
// erase, reprint and literal-next in canonical mode, CR under ONOCR, tabs under XTABS.
std::string echoOf(const termios& t, std::string_view bytes) {
  const tcflag_t in = t.c_iflag, local = t.c_lflag, out = t.c_oflag;
  const bool canonical = local & ICANON, extended = local & IEXTEN;
  std::string echo;
  auto is = [&](unsigned char c, int index) {
    return t.c_cc[index] != _POSIX_VDISABLE && t.c_cc[index] == c;
  };
  auto output = [&](unsigned char c) {
    if (!(out & OPOST)) {
      echo += static_cast<char>(c);
    } else if (c == '\n') {
      echo += (out & ONLCR) ? "\r\n" : "\n";
    } else if (c == '\r') {
      if (!(out & ONOCR)) echo += (out & OCRNL) ? '\n' : '\r';
    } else if (c == '\t') {
      if ((out & TABDLY) != XTABS) echo += '\t';
    } else {
      echo += static_cast<char>((out & OLCUC) ? std::toupper(c) : c);
    }
  };
  for (unsigned char c : bytes) {
    if (in & ISTRIP) c &= 0x7f;
    if ((in & IUCLC) && extended) c = static_cast<unsigned char>(std::tolower(c));
    if ((in & IXON) && (is(c, VSTART) || is(c, VSTOP))) continue;  // flow control, never echoed
    bool fromCr = false;
    if (c == '\r' && (in & (IGNCR | ICRNL))) {
      if (in & IGNCR) continue;
      c = '\n';
      fromCr = true;
    } else if (c == '\n' && (in & INLCR)) {
      c = '\r';
    }
    // A line end echoes as such; a plain LF outside canonical mode is just a control character.
    const bool newline = c == '\n' && (canonical || fromCr);
    if (canonical) {
      if (is(c, VERASE) || is(c, VKILL) || is(c, VEOF)) continue;
      if (extended && (is(c, VWERASE) || is(c, VLNEXT) || is(c, VREPRINT))) continue;
      if (newline && !(local & ECHO) && (local & ECHONL)) output('\n');
    }
    if (!(local & ECHO)) continue;
    if (newline)
      output('\n');
    else if ((local & ECHOCTL) && (c < 32 || c == 127) && c != '\t')
      echo += {'^', static_cast<char>(c ^ 0x40)};
    else
      output(c);
  }
  return echo;
}

// Bytes as C escapes, for a message.
std::string escaped(std::string_view bytes) {
  std::string out;
  for (const unsigned char c : bytes) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// An answer as Serial.println sends its lines: every "\n" not already after a "\r" gets one.
std::vector<Chunk> withCrLf(std::vector<Chunk> answer) {
  char before = 0;
  for (Chunk& chunk : answer) {
    std::string bytes;
    for (const char c : chunk.bytes) {
      if (c == '\n' && before != '\r') bytes += '\r';
      bytes += c;
      before = c;
    }
    chunk.bytes = std::move(bytes);
  }
  return answer;
}

// Takes the peer's own echo out of what it reads. The echo comes back in order, but the tool's
// own output can cut into it (while the slave holds input back, its echo waits too), so a byte
// read that is the next byte of the echo is taken as echo. An echo that stops coming (input
// flushed unread, ECHO turned off meanwhile) is given up after a while.
class EchoFilter {
 public:
  void expect(std::string_view echo, std::int64_t now) {
    if (echo.empty()) return;
    expected_ += echo;
    lastUs_ = now;
  }

  // The tool's bytes among `bytes`, read at `now`.
  std::string filter(std::string_view bytes, std::int64_t now) {
    if (now - lastUs_ > kEchoWaitUs) expected_.clear();
    std::string tool;
    std::size_t at = 0;
    for (const char c : bytes) {
      if (at < expected_.size() && c == expected_[at])
        ++at;
      else
        tool += c;
    }
    if (at > 0) {
      expected_.erase(0, at);
      lastUs_ = now;
    }
    return tool;
  }

 private:
  std::string expected_;
  std::int64_t lastUs_ = 0;
};

}  // namespace

SketchPeer::SketchPeer(Line& line) : line_(line) {
  if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) fail("pipe2");
}

SketchPeer::~SketchPeer() {
  stop();
  close(wake_[0]);
  close(wake_[1]);
}

SketchPeer& SketchPeer::onLine(std::string line, std::vector<Chunk> answer) {
  std::lock_guard lock(mutex_);
  rules_.push_back({std::move(line), std::move(answer)});
  return *this;
}

SketchPeer& SketchPeer::onLine(std::string line, std::string answer, int delayMs) {
  return onLine(std::move(line), std::vector<Chunk>{{delayMs, std::move(answer)}});
}

SketchPeer& SketchPeer::sendAt(int ms, std::string bytes) {
  {
    std::lock_guard lock(mutex_);
    if (started_)
      outbox_.push_back({startUs_ + std::int64_t{ms} * 1000, {{0, std::move(bytes)}}});
    else
      timed_.push_back({ms, std::move(bytes)});
  }
  wake();
  return *this;
}

SketchPeer& SketchPeer::strict() {
  std::lock_guard lock(mutex_);
  if (started_) throw std::logic_error("SketchPeer::strict: after start");
  strict_ = true;
  return *this;
}

std::vector<std::string> SketchPeer::protocolErrors() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> all = protocolErrors_;
  if (!unfinished_.empty()) all.push_back("unfinished line \"" + escaped(unfinished_) + "\"");
  return all;
}

void SketchPeer::send(const std::string& bytes) {
  {
    std::lock_guard lock(mutex_);
    outbox_.push_back({monotonicMicros(), {{0, bytes}}});
  }
  wake();
}

std::string SketchPeer::flood(const std::string& unit, int ms) {
  std::string sent;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    send(unit);
    if (!waitSent(200)) break;
    sent += unit;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return sent;
}

bool SketchPeer::waitSent(int timeoutMs) const {
  const std::int64_t now = monotonicMicros();
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return !busy_ && std::none_of(outbox_.begin(), outbox_.end(), [&](const Outgoing& o) { return o.dueUs <= now; });
  });
}

bool SketchPeer::waitConsumed(int timeoutMs) const {
  if (!waitSent(timeoutMs)) return false;
  // The kernel moves bytes from the master to the tool's side on a work queue, not at once, so
  // an empty queue right after a write proves nothing: the bytes are given 50 ms to get there.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return waitFor(
      [&] {
        int n = -1;
        ioctl(line_.slave(), FIONREAD, &n);
        return n == 0;
      },
      timeoutMs);
}

void SketchPeer::hangUp() {
  if (!waitSent(1000)) throw std::runtime_error("SketchPeer::hangUp: the line took no more for 1 s");
  stop();
  line_.hangUp();
}

void SketchPeer::start() {
  std::lock_guard lock(mutex_);
  if (started_) throw std::logic_error("SketchPeer::start: already started");
  const int flags = fcntl(line_.master(), F_GETFL);
  if (flags < 0 || fcntl(line_.master(), F_SETFL, flags | O_NONBLOCK) != 0) fail("fcntl");
  started_ = true;
  startUs_ = monotonicMicros();
  for (auto& t : timed_) outbox_.push_back({startUs_ + std::int64_t{t.ms} * 1000, {{0, std::move(t.bytes)}}});
  timed_.clear();
  thread_ = std::thread([this] { loop(); });
}

void SketchPeer::stop() {
  stop_ = true;
  wake();
  if (thread_.joinable()) thread_.join();
}

void SketchPeer::wake() {
  // A full pipe already holds a wake-up, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t n = write(wake_[1], "w", 1);
}

std::vector<SketchPeer::Received> SketchPeer::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::string SketchPeer::receivedBytes() const {
  std::lock_guard lock(mutex_);
  return receivedBytes_;
}

bool SketchPeer::waitReceived(const std::string& needle, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return receivedBytes_.find(needle) != std::string::npos; });
}

std::vector<std::int64_t> SketchPeer::sentTimes() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

void SketchPeer::heard(const std::string& line, std::int64_t us) {
  std::lock_guard lock(mutex_);
  auto rule = std::find_if(rules_.begin(), rules_.end(), [&](const Rule& r) { return r.line == line; });
  if (rule == rules_.end()) {
    if (strict_) protocolErrors_.push_back("unexpected line \"" + escaped(line) + "\\n\"");
    return;
  }
  if (rule->answer.empty()) return;
  outbox_.push_back({us + std::int64_t{rule->answer.front().delayMs} * 1000,
                     strict_ ? withCrLf(rule->answer) : rule->answer});
}

void SketchPeer::loop() {
  const int master = line_.master();
  EchoFilter echo;
  std::string line;                // the tool's bytes since its last line end
  std::optional<Outgoing> active;  // the answer whose chunk is going out
  std::size_t written = 0;         // of that chunk
  std::int64_t hungUpUntil = 0;
  std::string buffer(1 << 16, '\0');

  auto hear = [&](const std::string& bytes, std::int64_t us) {
    for (const char c : bytes) {
      if (c != '\n') {
        line += c;
        continue;
      }
      // A strict sketch takes the line as it came: a CR in it makes it a line no rule names.
      while (!strict_ && !line.empty() && line.back() == '\r') line.pop_back();
      heard(line, us);
      line.clear();
    }
    if (strict_) {
      std::lock_guard lock(mutex_);
      unfinished_ = line;
    }
  };

  while (!stop_) {
    const std::int64_t now = monotonicMicros();
    std::optional<std::int64_t> wakeAt;
    auto until = [&](std::int64_t us) {
      if (!wakeAt || us < *wakeAt) wakeAt = us;
    };

    if (!active) {
      std::lock_guard lock(mutex_);
      auto next = std::min_element(outbox_.begin(), outbox_.end(),
                                   [](const Outgoing& a, const Outgoing& b) { return a.dueUs < b.dueUs; });
      if (next != outbox_.end() && next->dueUs <= now) {
        active = std::move(*next);
        outbox_.erase(next);
        busy_ = true;
        written = 0;
        sent_.push_back(now);
      } else if (next != outbox_.end()) {
        until(next->dueUs);
      }
    }

    const bool hungUp = now < hungUpUntil;
    if (hungUp) until(hungUpUntil);
    if (active && !hungUp) {
      const std::string& bytes = active->chunks[active->next].bytes;
      termios settings{};
      const bool known = tcgetattr(line_.slave(), &settings) == 0;
      while (written < bytes.size()) {
        const ssize_t n = write(master, bytes.data() + written, bytes.size() - written);
        if (n > 0) {
          const auto piece = std::string_view(bytes).substr(written, static_cast<std::size_t>(n));
          if (known) echo.expect(echoOf(settings, piece), monotonicMicros());
          written += piece.size();
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EIO)
          hungUpUntil = now + kHangUpPauseUs;
        else if (n < 0 && errno != EAGAIN)
          fail("write to the line");
        break;  // the rest when the line takes it
      }
      if (written == bytes.size()) {
        {
          std::lock_guard lock(mutex_);
          if (++active->next < active->chunks.size()) {
            active->dueUs = monotonicMicros() + std::int64_t{active->chunks[active->next].delayMs} * 1000;
            outbox_.push_back(std::move(*active));
          }
          busy_ = false;
        }
        changed_.notify_all();
        active.reset();
        continue;
      }
    }

    const bool sending = active && !hungUp;
    pollfd fds[2] = {{wake_[0], POLLIN, 0},
                     {hungUp ? -1 : master, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0}};
    timespec timeout{};
    if (wakeAt) {
      const std::int64_t us = std::max<std::int64_t>(0, *wakeAt - now);
      timeout = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    }
    if (ppoll(fds, 2, wakeAt ? &timeout : nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      fail("ppoll");
    }
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      for (;;) {
        const ssize_t n = read(master, buffer.data(), buffer.size());
        if (n > 0) {
          const std::int64_t us = monotonicMicros();
          std::string bytes = buffer.substr(0, static_cast<std::size_t>(n));
          // Heard first, so that whoever waits for these bytes finds what they caused.
          hear(strict_ ? bytes : echo.filter(bytes, us), us);
          {
            std::lock_guard lock(mutex_);
            receivedBytes_ += bytes;
            received_.push_back({us, bytes});
          }
          changed_.notify_all();
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // No more for now; a hang-up (EIO: no one holds the slave) is waited out, not polled hot.
        if (!(n < 0 && errno == EAGAIN) || (fds[1].revents & POLLHUP))
          hungUpUntil = monotonicMicros() + kHangUpPauseUs;
        break;
      }
    }
  }
}

}  // namespace bench
