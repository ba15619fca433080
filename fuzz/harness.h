// What the fuzz harnesses share: a property check that stops the run, the fuzz bytes as a
// serial line that has sent them and hung up, and a scratch directory for the whole run.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fuzz {

// Inputs longer than this are skipped: a pipe holds them whole, so writing never blocks.
inline constexpr std::size_t kMaxLine = 60000;

inline void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz: property broken: %s\n", what);
  std::abort();
}

// Arguments cannot hold NUL: the fuzz bytes as the NUL-free runs between NULs, one word each.
inline std::vector<std::string> words(const std::string& bytes) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t nul; (nul = bytes.find('\0', start)) != std::string::npos; start = nul + 1)
    out.push_back(bytes.substr(start, nul - start));
  out.push_back(bytes.substr(start));
  return out;
}

// The byte a reader's buffer is filled with first, so that only the reader can have put
// the NUL that ends its text.
inline constexpr char kUntouched = '\x5a';

// A reader kept the first `kept` bytes of `sent`, ended them with NUL, and wrote nothing after.
inline void requireKept(const std::string& buffer, const std::uint8_t* sent, std::size_t kept) {
  require(std::memcmp(buffer.data(), sent, kept) == 0, "the start of what came is kept");
  require(buffer[kept] == '\0', "the text ends after what was kept");
  for (std::size_t i = kept + 1; i < buffer.size(); ++i) require(buffer[i] == kUntouched, "nothing past the end is written");
}

// How much of `sent` a line reader keeps: up to and including the first "\n", at most `limit`.
inline std::size_t lineKept(const std::uint8_t* sent, std::size_t size, std::size_t limit) {
  const auto* lf = static_cast<const std::uint8_t*>(std::memchr(sent, '\n', size));
  const std::size_t lineLength = lf ? static_cast<std::size_t>(lf - sent) + 1 : size;
  return lineLength < limit ? lineLength : limit;
}

// The sketch's bytes as the serial tools take them: each CR LF line end as its LF alone.
inline std::string crLfAsLf(const std::uint8_t* sent, std::size_t size) {
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    if (sent[i] == '\n' && !text.empty() && text.back() == '\r')
      text.back() = '\n';
    else
      text.push_back(static_cast<char>(sent[i]));
  }
  return text;
}

inline std::string crLfAsLf(const std::string& sent) {
  return crLfAsLf(reinterpret_cast<const std::uint8_t*>(sent.data()), sent.size());
}

// A line reader's text: the first line of `text`, up to and including its "\n", at most `limit`.
inline std::string firstLine(const std::string& text, std::size_t limit) {
  return text.substr(0, lineKept(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), limit));
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
