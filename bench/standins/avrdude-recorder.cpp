// Stand-in for avrdude: records how it was started and what the reset line was doing,
// then behaves as the test planned (see avrdude-recorder.h).
#include "avrdude-recorder.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "board.h"

extern char** environ;

namespace {

namespace programmer = bench::programmer;

int resetLevel() {
  const auto board = simboard::Board::open(simboard::kBoardPath);
  return board ? board->pin(programmer::kResetPin).level : -1;
}

// One write with O_APPEND, so a block is never split by another writer.
void append(const std::string& text) {
  const std::string path = std::string(simboard::kBoardPath) + "/" + programmer::kRecord;
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!write(fd, text.data(), text.size());
  close(fd);
}

void putOut(const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::int64_t startUs = simboard::monotonicMicros();
  std::ostringstream block;
  block << "run " << getpid() << ' ' << startUs << ' ' << resetLevel() << '\n';
  for (int i = 0; i < argc; ++i) block << "arg " << programmer::escape(argv[i]) << '\n';
  for (char** e = environ; *e; ++e) block << "env " << programmer::escape(*e) << '\n';
  append(block.str());

  int sleepMs = 0, status = 0;
  std::ifstream plan(std::string(simboard::kBoardPath) + "/" + programmer::kPlan);
  if (plan >> sleepMs >> status) {
    plan.get();  // the end of the first line
    putOut(std::string(std::istreambuf_iterator<char>(plan), {}));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));

  std::ostringstream end;
  end << "end " << simboard::monotonicMicros() << ' ' << resetLevel() << '\n';
  append(end.str());
  if (status < 0) {
    signal(-status, SIG_DFL);
    raise(-status);
  }
  return status;
}
