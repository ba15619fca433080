// Stand-in for xterm on the virtual board: a window that a test can read and type into (its
// records: xterm-recorder.h).
#include "xterm-recorder.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "board.h"

namespace fs = std::filesystem;
namespace window = bench::window;

namespace {

const fs::path kDir = simboard::kBoardPath;

void append(const fs::path& file, const std::string& bytes) {
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t n = write(fd, bytes.data(), bytes.size());
  close(fd);
}

// The descriptor named in the pseudo-terminal option, -S followed by two letters and a number.
int namedDescriptor(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a.size() > 4 && a.substr(0, 2) == "-S") return std::atoi(argv[i] + 4);
  }
  return -1;
}

bool parentHolds(const std::string& slave) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(getppid()) + "/fd", ec)) {
    std::error_code lec;
    if (fs::read_symlink(e.path(), lec) == slave) return true;
  }
  return false;
}

std::string describe(int fd) {
  std::string out = "fd " + std::to_string(fd) + "\n";
  const bool open = fd >= 0 && fcntl(fd, F_GETFD) != -1;
  out += std::string("open ") + (open ? "yes" : "no") + "\n";
  unsigned int pts = 0;
  const bool master = open && ioctl(fd, TIOCGPTN, &pts) == 0;
  out += std::string("master ") + (master ? "yes" : "no") + "\n";
  if (master) {
    const std::string slave = "/dev/pts/" + std::to_string(pts);
    out += "slave " + slave + "\n";
    out += std::string("slave-in-parent ") + (parentHolds(slave) ? "yes" : "no") + "\n";
  }
  out += "pid " + std::to_string(getpid()) + "\nppid " + std::to_string(getppid()) + "\n";
  return out;
}

// New bytes of the typed file since the last look.
std::string newlyTyped(std::uintmax_t& seen) {
  std::ifstream in(kDir / window::kTyped, std::ios::binary);
  if (!in) return {};
  in.seekg(static_cast<std::streamoff>(seen));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  seen += bytes.size();
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  const int alive = open((kDir / window::kAlive).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  flock(alive, LOCK_EX);
  std::string call = argv[0];
  for (int i = 1; i < argc; ++i) call += std::string("\t") + argv[i];
  append(kDir / "commands", call + "\n");  // the board's command log (Board::commandLog)
  const int fd = namedDescriptor(argc, argv);
  append(kDir / window::kFound, describe(fd));

  bool reading = fd >= 0 && fcntl(fd, F_GETFD) != -1;
  std::uintmax_t seen = 0;
  char buf[4096];
  for (;;) {
    if (fs::exists(kDir / window::kClose)) return 0;
    if (reading) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 10) > 0) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
          append(kDir / window::kReads, std::to_string(simboard::monotonicMicros()) + " " + std::to_string(n) + "\n");
          append(kDir / window::kShown, std::string(buf, static_cast<std::size_t>(n)));
        } else if (n == 0 || errno != EAGAIN) {
          reading = false;  // the slave side is gone; a window stays open all the same
        }
      }
      const std::string typed = newlyTyped(seen);
      if (!typed.empty() && write(fd, typed.data(), typed.size()) < 0) reading = false;
    } else {
      usleep(10000);
    }
  }
}
