// cmdlistener: runs the shell commands that the sketch sends over the serial line and
// relays their output back to it.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "seriallink.h"

namespace {

// A line or an output piece is at most this long; what follows comes as the next one.
constexpr std::size_t kPieceMax = 511;
constexpr std::size_t kKeyLength = 8;

FILE* pout = nullptr;  // the output of the command last started
std::string wbuff;

// Adds bytes of `in` to `buf` until a "\n" or until `buf` holds kPieceMax bytes; false when
// the stream ended or failed first, leaving what came so far in `buf`.
bool readPiece(FILE* in, std::string& buf) {
  while (buf.size() < kPieceMax) {
    const int c = std::getc(in);
    if (c == EOF) return false;
    buf.push_back(static_cast<char>(c));
    if (c == '\n') return true;
  }
  return true;
}

void reply(const char* word) {
  std::fprintf(serout, "%s\n", word);
  std::printf("> %s\n", word);
}

void execCommand() {
  std::puts("<Command>");
  if (pout != nullptr) {
    pclose(pout);
    pout = nullptr;
  }
  const char* text = rbuff.c_str() + kKeyLength;
  if (*text == '\0') {
    reply("OK");
    return;
  }
  std::printf("command: %s", text);
  pout = popen(text, "r");
  reply(pout != nullptr ? "OK" : "NO");
}

void getAnswer() {
  std::puts("<GetAnswer");
  if (pout == nullptr) {
    std::fputs("\n", serout);
    std::puts(">");
    return;
  }
  for (bool more = true; more;) {
    wbuff.clear();
    more = readPiece(pout, wbuff);
    std::fwrite(wbuff.data(), 1, wbuff.size(), serout);
    std::fwrite(wbuff.data(), 1, wbuff.size(), stdout);
  }
}

[[noreturn]] void endProgram() {
  std::puts("<End>");
  std::exit(0);
}

// A device that hung up or went away gives no more lines: say so and end, rather than
// read it for ever.
void checkDevice() {
  const int err = std::ferror(serinp) ? errno : 0;
  pollfd p{fileno(serinp), POLLIN, 0};
  const bool hungUp = poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0;
  if (!hungUp && err != EIO && err != ENXIO) return;
  std::printf("NO serial port %s lost: %s\n", ports::cmdlistener.device, hungUp ? "hang-up" : std::strerror(err));
  std::exit(-1);
}

void ciclo() {
  rbuff.clear();
  while (run) {
    if (!readPiece(serinp, rbuff)) {
      // A timed read ended empty, or the read failed: the part of the line read so far
      // waits for its rest.
      checkDevice();
      std::clearerr(serinp);
      usleep(1000);
      continue;
    }
    // Sketches that end their lines with CR LF mean the command without the CR.
    if (rbuff.ends_with("\r\n")) rbuff.erase(rbuff.size() - 2, 1);
    if (rbuff.starts_with("$$$Ardu "))
      execCommand();
    else if (rbuff.starts_with("$$$Resp "))
      getAnswer();
    else if (rbuff.starts_with("$$$Cend "))
      endProgram();
    rbuff.clear();
  }
}

}  // namespace

int main() {
  std::puts("Intercepting commands from serial port...");
  std::puts("  format: $$$Ardu command... 'lf'");
  init(ports::cmdlistener);
  ciclo();
}
