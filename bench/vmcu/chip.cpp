#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "vmcu.h"

extern char** environ;

namespace vmcu {

namespace {

constexpr int kStartMs = 10000;  // for the chip to come up, or to answer a control line
constexpr int kStopMs = 3000;    // after SIGTERM, before SIGKILL
constexpr int kLineFd = 3;       // where the chip finds a Line's master

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

// Reads from `fd` until `end` arrives; false when the time runs out or the other side closes.
bool readUntil(int fd, char end, std::string& got, int timeoutMs) {
  const std::int64_t deadline = bench::monotonicMicros() + std::int64_t{timeoutMs} * 1000;
  while (got.find(end) == std::string::npos) {
    const std::int64_t left = (deadline - bench::monotonicMicros()) / 1000;
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::filesystem::path sketch(const std::string& name) { return std::filesystem::path(VMCU_SKETCH_DIR) / (name + ".hex"); }
std::filesystem::path bootloader() { return VMCU_BOOTLOADER_HEX; }
std::filesystem::path program() { return VMCU_PROGRAM; }

Chip::Chip(const bench::Board& board, bench::Line& line, const std::filesystem::path& sketch) {
  start(board, line.master(), sketch);
}

Chip::Chip(const bench::Board& board, const std::filesystem::path& sketch) { start(board, -1, sketch); }

void Chip::start(const bench::Board& board, int master, const std::filesystem::path& sketch) {
  const std::string control = (dir_.path() / "control").string();
  std::vector<std::string> args = {program().string(), "--board", board.dir().string(), "--control", control,
                                   "--log", (dir_.path() / "log").string(), "--parent", std::to_string(getpid())};
  if (master >= 0) args.insert(args.end(), {"--line", std::to_string(kLineFd)});
  if (!sketch.empty()) args.insert(args.end(), {"--sketch", sketch.string()});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) fail("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  if (master >= 0) posix_spawn_file_actions_adddup2(&actions, master, kLineFd);
  const int err = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (err != 0) {
    ::close(out[0]);
    errno = err;
    fail("starting " + args[0]);
  }

  std::string said;
  const bool up = readUntil(out[0], '\n', said, kStartMs);
  ::close(out[0]);
  if (!up || said.rfind("port ", 0) != 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    throw std::runtime_error("the virtual chip did not start: " + said);
  }
  port_ = said.substr(5, said.find('\n') - 5);

  control_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, control.c_str(), sizeof addr.sun_path - 1);
  if (control_ < 0 || ::connect(control_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int e = errno;
    stop();
    errno = e;
    fail("control socket " + control);
  }
}

Chip::~Chip() { stop(); }

void Chip::stop() {
  if (control_ >= 0) ::close(control_);
  control_ = -1;
  if (pid_ < 0) return;
  kill(pid_, SIGTERM);
  const std::int64_t deadline = bench::monotonicMicros() + std::int64_t{kStopMs} * 1000;
  while (waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (bench::monotonicMicros() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      break;
    }
    usleep(5000);
  }
  pid_ = -1;
}

std::string Chip::ask(const std::string& line) {
  const std::string request = line + "\n";
  if (::write(control_, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
    fail("control: " + line);
  std::string reply;
  if (!readUntil(control_, '\n', reply, kStartMs)) throw std::runtime_error("control: no answer to " + line);
  reply.pop_back();
  if (reply.rfind("error", 0) == 0) throw std::invalid_argument("control: " + line + ": " + reply);
  return reply;
}

void Chip::setPin(const std::string& name, int level) { ask("pin " + name + " " + std::to_string(level)); }

void Chip::setAdc(int channel, int millivolts) { ask("adc " + std::to_string(channel) + " " + std::to_string(millivolts)); }

void Chip::reset() { ask("reset"); }

std::uint64_t Chip::cycles() { return std::stoull(ask("cycles")); }

std::string Chip::log() const {
  std::ifstream in(dir_.path() / "log");
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

bool Chip::waitLog(const std::string& text, int timeoutMs) const {
  return bench::waitFor([&] { return log().find(text) != std::string::npos; }, timeoutMs, 10);
}

double Chip::cpuSeconds() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
  std::string stat;
  std::getline(in, stat);
  // Fields after the command name, which is in parentheses and may hold blanks.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string skip;
  for (int field = 3; field < 14; ++field) fields >> skip;
  double user = 0;
  double system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace vmcu
