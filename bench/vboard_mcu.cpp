// vboard's microcontroller: mcu start, stop and log, and the control lines of pin and adc.
// It is the program vmcu, built beside vboard (vmcu/launch.h), left running in a session of
// its own. The file mcu/chip in the board's folder finds it again: "pid PID" and "port PATH"
// lines. Beside it: its control socket, its log and its error output.
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "bench.h"
#include "vboard.h"
#include "vmcu/launch.h"

namespace fs = std::filesystem;

namespace vboard {
namespace {

fs::path mcuDir(const fs::path& boardDir) { return fs::absolute(boardDir) / "mcu"; }

std::optional<RunningChip> neededChip(const fs::path& boardDir) {
  auto chip = runningChip(boardDir);
  if (!chip) std::cerr << "vboard: no microcontroller runs on this board (see 'vboard mcu start')\n";
  return chip;
}

// Held while a chip starts; the lock goes with the descriptor.
class StartLock {
 public:
  explicit StartLock(const fs::path& file) : fd_(::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), file.string());
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~StartLock() { ::close(fd_); }
  StartLock(const StartLock&) = delete;
  StartLock& operator=(const StartLock&) = delete;

 private:
  int fd_;
};

int mcuStart(const fs::path& boardDir, const std::vector<std::string>& args) {
  fs::path sketch;
  if (args.size() == 2 && args[0] == "--sketch")
    sketch = fs::absolute(args[1]);
  else if (!args.empty())
    usage("mcu start takes [--sketch FILE.hex]");
  const fs::path program = fs::read_symlink("/proc/self/exe").parent_path() / "vmcu";
  if (access(program.c_str(), X_OK) != 0) {
    std::cerr << "vboard: no microcontroller in this build: " << program.string()
              << " is missing (it needs simavr and the firmware toolchain)\n";
    return 1;
  }
  bench::Board::create(boardDir);  // the chip's RESET follows the board's GPIO 23
  const fs::path dir = mcuDir(boardDir);
  fs::create_directories(dir);
  // One start at a time on a board: a second one waits here, then finds the chip running.
  const StartLock lock(dir / "start.lock");
  if (const auto chip = runningChip(boardDir)) {
    std::cerr << "vboard: the microcontroller already runs (pid " << chip->pid << "); 'vboard mcu stop' first\n";
    return 1;
  }
  for (const char* old : {"chip", "log", "errors"}) fs::remove(dir / old);

  vmcu::Launched chip;
  try {
    chip = vmcu::launch(program, {.board = fs::absolute(boardDir),
                                  .control = dir / "control",
                                  .log = dir / "log",
                                  .sketch = sketch,
                                  .detached = true,
                                  .errors = dir / "errors"});
  } catch (const vmcu::NotStarted&) {
    std::ifstream errors(dir / "errors");
    std::cerr << "vboard: the microcontroller did not start\n" << errors.rdbuf();
    return 1;
  }
  {
    std::ofstream(dir / "chip.new") << "pid " << chip.pid << "\nport " << chip.port << "\n";
  }
  fs::rename(dir / "chip.new", dir / "chip");  // whole or not at all, for a run that looks at once
  std::printf("microcontroller running: pid %d, serial line %s\n", chip.pid, chip.port.c_str());
  return 0;
}

int mcuStop(const fs::path& boardDir) {
  const auto chip = neededChip(boardDir);
  fs::remove(mcuDir(boardDir) / "chip");
  if (!chip) return 1;
  // Through a pidfd, so that no other process that might take the number is signalled.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, chip->pid, 0));
  if (pidfd < 0 && errno != ENOSYS) return 0;  // it has just ended
  // Without pidfds (older kernels, valgrind) by the number, which is only a little less safe.
  auto signal = [&](int sig) {
    if (pidfd >= 0)
      syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0);
    else
      kill(chip->pid, sig);
  };
  auto ended = [&](int ms) {
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      return poll(&p, 1, ms) > 0;
    }
    for (int waited = 0; waited < ms; waited += 10) {
      if (kill(chip->pid, 0) != 0) return true;
      usleep(10000);
    }
    return false;
  };
  signal(SIGTERM);
  if (!ended(3000)) {
    signal(SIGKILL);
    ended(3000);
  }
  if (pidfd >= 0) ::close(pidfd);
  return 0;
}

}  // namespace

// The board's chip while it runs. The pid must still be a vmcu on this board's control
// socket, and not a process that has taken the number since.
std::optional<RunningChip> runningChip(const fs::path& boardDir) {
  std::ifstream in(mcuDir(boardDir) / "chip");
  RunningChip chip;
  std::string pidKey, portKey;
  if (!(in >> pidKey >> chip.pid >> portKey >> chip.port) || pidKey != "pid" || portKey != "port") return std::nullopt;
  std::ifstream cmdline("/proc/" + std::to_string(chip.pid) + "/cmdline");
  const std::string args{std::istreambuf_iterator<char>(cmdline), std::istreambuf_iterator<char>()};
  const std::string control = std::string("--control") + '\0' + (mcuDir(boardDir) / "control").string() + '\0';
  if (args.find(control) == std::string::npos) return std::nullopt;  // gone, or a zombie without a command line
  return chip;
}

// One control line to the running chip (see vmcu.cpp); its refusals are usage errors.
int mcuControl(const fs::path& boardDir, const std::string& line) {
  if (!neededChip(boardDir)) return 1;
  const std::string path = (mcuDir(boardDir) / "control").string();
  const int sock = vmcu::connectControl(path);
  const auto reply = sock >= 0 ? vmcu::request(sock, line, 5000) : std::nullopt;
  if (sock >= 0) ::close(sock);
  if (!reply) throw std::runtime_error("the microcontroller does not answer on " + path);
  if (reply->rfind("error ", 0) == 0) usage(reply->substr(6));
  return 0;
}

int mcu(const fs::path& boardDir, const std::vector<std::string>& args) {
  if (args.empty()) usage("mcu needs start, stop or log");
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "start") return mcuStart(boardDir, rest);
  if (args[0] == "stop" && rest.empty()) return mcuStop(boardDir);
  if (args[0] == "log" && rest.empty()) {
    std::ifstream log(mcuDir(boardDir) / "log");
    if (!log) {
      std::cerr << "vboard: no microcontroller log on this board\n";
      return 1;
    }
    std::cout << log.rdbuf();
    return 0;
  }
  usage("mcu takes start [--sketch FILE.hex], stop or log");
}

}  // namespace vboard
