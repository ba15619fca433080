#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "launch.h"
#include "vmcu.h"

namespace vmcu {

namespace {

constexpr int kStopMs = 3000;  // after SIGTERM, before SIGKILL

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

std::filesystem::path sketch(const std::string& name) { return std::filesystem::path(VMCU_SKETCH_DIR) / (name + ".hex"); }
std::filesystem::path bootloader() { return VMCU_BOOTLOADER_HEX; }
std::filesystem::path program() { return VMCU_PROGRAM; }

std::string stream(const std::string& log, const std::vector<std::string>& directions) {
  std::string all;
  std::size_t from = 0;
  for (std::size_t end; (end = log.find('\n', from)) != std::string::npos; from = end + 1) {
    const std::string entry = log.substr(from, end - from);
    const auto blank = entry.find(' ');
    const auto quote = entry.find(" \"", blank);
    if (blank == std::string::npos || quote == std::string::npos || entry.back() != '"') continue;
    if (std::find(directions.begin(), directions.end(), entry.substr(blank + 1, quote - blank - 1)) == directions.end())
      continue;
    all += entry.substr(quote + 2, entry.size() - quote - 3);
  }
  return all;
}

Chip::Chip(const bench::Board& board, bench::Line& line, const std::filesystem::path& sketch) {
  start(board, line.master(), sketch);
}

Chip::Chip(const bench::Board& board, const std::filesystem::path& sketch) { start(board, -1, sketch); }

void Chip::start(const bench::Board& board, int master, const std::filesystem::path& sketch) {
  const std::string control = (dir_.path() / "control").string();
  const Launched chip = launch(program(), {.board = board.dir(),
                                           .control = control,
                                           .log = dir_.path() / "log",
                                           .sketch = sketch,
                                           .line = master,
                                           .parent = getpid()});
  pid_ = chip.pid;
  port_ = chip.port;
  control_ = connectControl(control);
  if (control_ < 0) {
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
  const auto reply = request(control_, line, kStartMs);
  if (!reply) throw std::runtime_error("control: no answer to " + line);
  if (reply->rfind("error", 0) == 0) throw std::invalid_argument("control: " + line + ": " + *reply);
  return *reply;
}

void Chip::setPin(const std::string& name, int level) { ask("pin " + name + " " + std::to_string(level)); }

void Chip::setAdc(int channel, int millivolts) { ask("adc " + std::to_string(channel) + " " + std::to_string(millivolts)); }

void Chip::reset() { ask("reset"); }

std::uint64_t Chip::cycles() { return std::stoull(ask("cycles")); }

std::string Chip::log() const { return bench::slurp(dir_.path() / "log"); }

bool Chip::waitLog(const std::string& text, int timeoutMs) const {
  return bench::waitFor([&] { return log().find(text) != std::string::npos; }, timeoutMs, 10);
}

bool Chip::waitStream(const std::string& direction, const std::string& text, int timeoutMs) const {
  return bench::waitFor([&] { return stream(log(), {direction}).find(text) != std::string::npos; }, timeoutMs, 10);
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
