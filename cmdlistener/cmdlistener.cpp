// cmdlistener: runs the shell commands that the sketch sends over the serial line and
// relays their output back to it.
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "help.h"
#include "seriallink.h"
#include "stdfds.h"

namespace {

// A line or an output piece is at most this long (a command line, this and its line end);
// what follows comes as the next one.
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

void closeCommand() {
  if (pout != nullptr) {
    pclose(pout);
    pout = nullptr;
  }
}

void execCommand() {
  std::puts("<Command>");
  closeCommand();
  const char* text = rbuff.c_str() + kKeyLength;
  if (*text == '\0') {
    reply("OK");
    return;
  }
  std::printf("command: %s", text);
  pout = popen(text, "r");
  reply(pout != nullptr ? "OK" : "NO");
}

// A command line longer than rbuff would run cut short, which can be another command: it is
// refused whole, as a command that cannot start.
void refuseCommand() {
  std::puts("<Command>");
  closeCommand();
  reply("NO");
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
    // Each piece at once: a last one without a line end must not wait for the next reply.
    std::fwrite(wbuff.data(), 1, wbuff.size(), serout);
    std::fflush(serout);
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

// One line, or a piece of kPieceMax bytes of a longer one. A command line may hold kPieceMax
// bytes before its line end: the whole command fits in rbuff.
bool readPart() {
  if (!readLine(serinp, rbuff, kPieceMax)) return false;
  if (rbuff.back() == '\n' || !rbuff.starts_with("$$$Ardu ")) return true;
  return readLine(serinp, rbuff, kPieceMax + 1);
}

// Until the line has a byte to read, or hung up, asleep in the kernel.
void waitLine() {
  pollfd p{fileno(serinp), POLLIN, 0};
  poll(&p, 1, -1);
}

void ciclo() {
  rbuff.clear();
  bool refused = false;  // the rest of a refused command line is still coming
  while (run) {
    // A CR LF line end comes as "\n": sketches that end their lines so mean the command
    // without the CR.
    if (!readPart()) {
      // A timed read ended empty, or the read failed: the part of the line read so far
      // waits for its rest.
      checkDevice();
      std::clearerr(serinp);
      waitLine();
      continue;
    }
    const bool cut = rbuff.back() != '\n';
    if (refused) {
      refused = cut;  // the rest of a refused command is never a line of its own
    } else if (rbuff.starts_with("$$$Ardu ")) {
      refused = cut;
      if (cut)
        refuseCommand();
      else
        execCommand();
    } else if (rbuff.starts_with("$$$Resp ")) {
      getAnswer();
    } else if (rbuff.starts_with("$$$Cend ")) {
      endProgram();
    }
    rbuff.clear();
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  openStandardFds();
  if (helpAsked(argc, argv)) {
    std::puts("Run the shell commands that the sketch sends on /dev/ttyS0 (115200 baud)");
    std::puts("format : cmdlistener [-h]");
    std::puts("  the sketch sends: $$$Ardu command... 'lf', $$$Resp (the output), $$$Cend (the end)");
    return 0;
  }
  // Started with SIGCHLD ignored, pclose could not wait for a command's end.
  signal(SIGCHLD, SIG_DFL);
  std::puts("Intercepting commands from serial port...");
  std::puts("  format: $$$Ardu command... 'lf'");
  init(ports::cmdlistener);
  ciclo();
}
