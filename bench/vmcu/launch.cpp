#include "launch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <vector>

#include "board.h"

extern char** environ;

namespace vmcu {

namespace {

constexpr int kLineFd = 3;  // where the chip finds a Line's master

[[noreturn]] void fail(int err, const std::string& what) { throw std::system_error(err, std::generic_category(), what); }

}  // namespace

std::optional<std::string> readLine(int fd, int timeoutMs) {
  const std::int64_t deadline = simboard::monotonicMicros() + std::int64_t{timeoutMs} * 1000;
  std::string got;
  while (got.find('\n') == std::string::npos) {
    const std::int64_t left = (deadline - simboard::monotonicMicros()) / 1000;
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return std::nullopt;
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    got.append(buf, static_cast<std::size_t>(n));
  }
  got.erase(got.find('\n'));
  return got;
}

Launched launch(const std::filesystem::path& program, const Launch& how) {
  std::vector<std::string> args = {program.string(), "--board", how.board.string(), "--control", how.control.string(),
                                   "--log", how.log.string()};
  if (how.parent > 0) args.insert(args.end(), {"--parent", std::to_string(how.parent)});
  if (how.line >= 0) args.insert(args.end(), {"--line", std::to_string(kLineFd)});
  if (!how.sketch.empty()) args.insert(args.end(), {"--sketch", how.sketch.string()});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) fail(errno, "pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (how.detached) {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, how.errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  }
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  if (how.line >= 0) posix_spawn_file_actions_adddup2(&actions, how.line, kLineFd);
  Launched chip;
  const int err = posix_spawn(&chip.pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(out[1]);
  if (err != 0) {
    ::close(out[0]);
    fail(err, "starting " + args[0]);
  }

  const auto said = readLine(out[0], kStartMs);
  ::close(out[0]);
  if (!said || said->rfind("port ", 0) != 0) {
    kill(chip.pid, SIGKILL);
    waitpid(chip.pid, nullptr, 0);
    throw NotStarted(said.value_or(""));
  }
  chip.port = said->substr(5);
  return chip;
}

int connectControl(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("control socket path too long: " + path);
  std::strcpy(addr.sun_path, path.c_str());
  const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0 || ::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return sock;
  const int e = errno;
  ::close(sock);
  errno = e;
  return -1;
}

std::optional<std::string> request(int socket, const std::string& line, int timeoutMs) {
  const std::string sent = line + "\n";
  if (::write(socket, sent.data(), sent.size()) != static_cast<ssize_t>(sent.size())) return std::nullopt;
  return readLine(socket, timeoutMs);
}

}  // namespace vmcu
