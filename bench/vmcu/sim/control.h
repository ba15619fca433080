// What steers the chip from outside: the board's reset line, and control lines on a socket.
#pragma once

#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "basics.h"
#include "board.h"

namespace vmcu::sim {

inline constexpr int kResetGpio = simboard::kResetPin;

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

}  // namespace vmcu::sim
