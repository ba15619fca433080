// What the fuzz harnesses share: a property check that stops the run, the fuzz bytes as a
// serial line that has sent them and hung up, and a scratch directory for the whole run.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzz {

// Inputs longer than this are skipped: a pipe holds them whole, so writing never blocks.
inline constexpr std::size_t kMaxLine = 60000;

inline void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz: property broken: %s\n", what);
  std::abort();
}

// The read end of a pipe that holds `bytes` and whose write end is closed: reads see the
// bytes, then end of file, so no read waits for more. Closed when it goes.
class SentBytes {
 public:
  SentBytes(const std::uint8_t* bytes, std::size_t size) {
    int ends[2];
    require(pipe2(ends, O_CLOEXEC) == 0, "pipe");
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = write(ends[1], bytes + done, size - done);
      require(n > 0, "write to pipe");
      done += static_cast<std::size_t>(n);
    }
    close(ends[1]);
    fd_ = ends[0];
  }
  ~SentBytes() { close(fd_); }
  SentBytes(const SentBytes&) = delete;
  SentBytes& operator=(const SentBytes&) = delete;
  int fd() const { return fd_; }
  // A stream of its own descriptor on the same pipe, as the tools' serinp; the caller closes it.
  FILE* stream() const {
    FILE* f = fdopen(dup(fd_), "r");
    require(f != nullptr, "fdopen");
    return f;
  }

 private:
  int fd_ = -1;
};

// A directory under $TMPDIR (else /tmp) made on first use and removed, with all it holds,
// when the process ends. A run that crashes ends without exit handlers: fuzz/run points
// TMPDIR into its build folder, so even then nothing is left in /tmp.
inline std::filesystem::path scratchDir() {
  // A pointer, never freed: the exit handler may run after the static objects are gone.
  static const std::string* const dir = [] {
    auto* name = new std::string((std::filesystem::temp_directory_path() / "orvix-fuzz.XXXXXX").string());
    require(mkdtemp(name->data()) != nullptr, "mkdtemp");
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(*dir, ec);
    });
    return name;
  }();
  return *dir;
}

// The tools print what they read; a run of the fuzzer must not.
inline void silenceStdout() {
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  require(null >= 0 && dup2(null, STDOUT_FILENO) == STDOUT_FILENO, "stdout to /dev/null");
  close(null);
}

}  // namespace fuzz
