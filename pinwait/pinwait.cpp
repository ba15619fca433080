// pinwait: blocks until a pin of the microcontroller meets a condition. The pin-wait sketch
// does the watching; when another sketch runs, its upload is started instead.
#include <signal.h>
#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "seriallink.h"
#include "stdfds.h"

namespace {

const char* const kSketchFile = "/home/pi/bin/mcusketches/WaitSketch.hex";
const char* const kSketchName = "WaitSketch";
constexpr std::size_t kNameLength = 10;
// The longest command sent, line end included.
constexpr std::size_t kCommandMax = 49;
constexpr int kIdentityWaitMs = 500;

[[gnu::format(printf, 1, 2)]] std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string text(static_cast<std::size_t>(n), '\0');
  std::vsnprintf(text.data(), text.size() + 1, fmt, again);
  va_end(again);
  return text;
}

[[noreturn]] void help() {
  std::puts("Arduino interrupt");
  std::printf("N.B. It uses the sketch %s \n", kSketchFile);
  std::puts("ATTENTION!Pin 4 can be used for power switching. Open jumper JP2 to use it!");
  std::puts("format : pinwait [-h|-dig n v|-ana n x v] ");
  std::puts("  -dig n v    : stop until pin n(3-13) becomes v(0/1)");
  std::puts("  -ana n x v  : stop until analogical pin(n=0-5) becomes x(gt or lt) of v(0-1024)");
  std::puts("(gt:>,lt:<)");
  std::puts("Ex.: pinwait -dig 6 1");
  std::puts("     pinwait -ana 2 lt 200");
  std::exit(0);
}

void upload() {
  const std::string command = format("/home/pi/bin/mcuload %s", kSketchFile);
  if (std::system(command.c_str()) < 0) {
    std::printf("NO uploaded sketch!  %s \n", kSketchFile);
    std::exit(-2);
  }
}

[[noreturn]] void noSketch() {
  std::printf("\nNo sketch %s. Uploading...\n", kSketchFile);
  // Seen before the pause and before whatever the loader prints, also through a pipe.
  std::fflush(stdout);
  // The loader needs the port: it is closed before the loader starts.
  closeSer();
  upload();
  std::exit(-2);
}

// One line of at most 254 characters into rbuff; a read that fails (the line hung up)
// leaves it empty, whatever part of a line came.
void readAnswer() {
  rbuff.clear();
  if (!readLine(serinp, rbuff, ports::pinwait.rbuffSize - 1) && std::ferror(serinp)) rbuff.clear();
}

void checksketch() {
  std::fputs("?\n", serout);
  rbuff.clear();
  // The timed mode bounds a read only in non-canonical mode; waiting for the descriptor
  // first bounds the wait for a whole line in canonical mode too.
  if (waitReadable(kIdentityWaitMs)) readAnswer();
  if (std::strncmp(rbuff.c_str(), kSketchName, kNameLength) != 0) noSketch();
  // A name without its line end leaves the stream at end of file after the timed read;
  // the wait's read must still wait for the sketch.
  std::clearerr(serinp);
}

[[noreturn]] void errorPar(int argc, char** argv) {
  std::puts("NO Error on parameters!");
  for (int i = 1; i < argc; ++i) std::printf("%s ", argv[i]);
  std::puts("\n Use -h for help.");
  std::exit(-1);
}

[[noreturn]] void errorTr(const std::string& sent) {
  std::puts("NO Error on transmission!");
  std::printf("Sent    : %s", sent.c_str());
  std::printf("Received: %s\n", rbuff.c_str());
  std::exit(-1);
}

// Sends one wait command and blocks until the sketch answers it with "OK".
void waitFor(int argc, char** argv, const std::string& scmd) {
  // A cut command would reach the sketch as another command, or without its line end.
  if (scmd.size() > kCommandMax) errorPar(argc, argv);
  std::fputs(scmd.c_str(), serout);
  readAnswer();
  if (std::strncmp(rbuff.c_str(), "OK", 2) != 0) errorTr(scmd);
}

void intDig(int argc, char** argv) {
  if (argc <= 3) errorPar(argc, argv);
  waitFor(argc, argv, format("INTD%s=%s\n", argv[2], argv[3]));
  std::puts("OK Pin changed!");
}

void intAna(int argc, char** argv) {
  if (argc <= 4) errorPar(argc, argv);
  char comp = '0';
  if (strcasecmp(argv[3], "gt") == 0) comp = '>';
  if (strcasecmp(argv[3], "lt") == 0) comp = '<';
  if (comp == '0') errorPar(argc, argv);
  waitFor(argc, argv, format("INTA%s%c%s\n", argv[2], comp, argv[4]));
  std::puts("OK value reached!");
}

}  // namespace

int main(int argc, char** argv) {
  openStandardFds();
  // Started with SIGCHLD ignored, system() could not tell the loader's end.
  signal(SIGCHLD, SIG_DFL);
  if (argc < 2 || strcasecmp(argv[1], "-h") == 0 || strcasecmp(argv[1], "--help") == 0) help();
  init(ports::pinwait);
  setSerialBlock(false);
  checksketch();
  setSerialBlock(true);
  if (strcasecmp(argv[1], "-ana") == 0) intAna(argc, argv);
  if (strcasecmp(argv[1], "-dig") == 0) intDig(argc, argv);
  return 0;
}
