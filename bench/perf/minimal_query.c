/* The serial exchanges of the suite's tools, each done as plainly as C allows: the baseline
 * that `vboard bench` sets the tools' overhead against. Each mode opens the tool's device
 * with the tool's flags and speed, changes the same terminal settings, waits the same waits
 * and prints the same result; it leaves out all the tool does beyond that one exchange.
 *
 *   minimal_query sketchcheck NAME | sketchquery TEXT | sketchqueryblock TEXT
 *   minimal_query whichsketch | pinwait-dig N V | cmdlistener-resp | cmdlistener-relay
 *
 * cmdlistener-resp serves the two lines the bench's exchange uses: "$$$Resp " with no
 * command held, and "$$$Cend ". cmdlistener-relay also runs the command of a "$$$Ardu "
 * line and relays its output on "$$$Resp ", as cmdlistener does, for its throughput.
 */
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

enum { kUnchanged = -1 };

/* The settings every tool clears: the line carries the bytes unchanged both ways. */
static void makeTransparent(struct termios *t) {
  t->c_iflag &= ~(tcflag_t)(ICRNL | INLCR | IGNCR | ISTRIP | IUCLC | IXON | IXOFF | IXANY | PARMRK);
  t->c_oflag &= ~(tcflag_t)OPOST;
  t->c_lflag &= ~(tcflag_t)(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ISIG | IEXTEN);
  t->c_cc[VEOF] = t->c_cc[VEOL] = t->c_cc[VEOL2] = t->c_cc[VERASE] = t->c_cc[VKILL] = _POSIX_VDISABLE;
}

static int openPort(const char *device, int flags, speed_t speed, int canonicalOff, int vtime, int vmin) {
  struct termios t;
  int fd = open(device, flags | O_CLOEXEC);
  if (fd < 0 || flock(fd, LOCK_EX) != 0) {
    fputs("Impossible to open serial port!", stdout);
    exit(255);
  }
  tcgetattr(fd, &t);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  makeTransparent(&t);
  if (canonicalOff) t.c_lflag &= ~(tcflag_t)ICANON;
  t.c_cc[VTIME] = (cc_t)vtime;
  if (vmin != kUnchanged) t.c_cc[VMIN] = (cc_t)vmin;
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

/* The query tools' port: 9600 baud, non-canonical, reads end after 0.1 s of silence. */
static int queryPort(void) { return openPort("/dev/ttyS0", O_RDWR | O_NOCTTY, B9600, 1, 1, 0); }

static void discardInput(int fd) {
  char junk[512];
  while (read(fd, junk, sizeof junk) > 0) {
  }
}

/* Waits in poll() for a byte, at most limit × 10 ms; limit 0 waits for ever. */
static int waitInput(int fd, int limit) {
  struct pollfd p;
  p.fd = fd;
  p.events = POLLIN;
  return poll(&p, 1, limit > 0 ? limit * 10 : -1) > 0 && (p.revents & POLLIN) != 0;
}

/* One line, a CR LF end taken as one "\n", as the tools read it. */
static char *readLine(char *line, int size, FILE *in) {
  size_t n;
  if (fgets(line, size, in) == NULL) return NULL;
  n = strlen(line);
  if (n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n') {
    line[n - 2] = '\n';
    line[n - 1] = '\0';
  }
  return line;
}

static void sendLine(int fd, const char *text) {
  char line[600];
  int n = snprintf(line, sizeof line, "%s\n", text);
  if (n > (int)sizeof line - 1) n = (int)sizeof line - 1;
  if (write(fd, line, (size_t)n) != n) exit(1);
}

static int sketchcheck(const char *name) {
  char answer[512];
  size_t stored = 0;
  int fd = queryPort();
  discardInput(fd);
  sendLine(fd, "?");
  if (waitInput(fd, 200))
    while (stored < sizeof answer - 1 && read(fd, answer + stored, 1) == 1) ++stored;
  answer[stored] = '\0';
  if (strncasecmp(answer, name, strlen(name)) == 0) {
    puts("YES");
    return 0;
  }
  puts("NO");
  return 1;
}

static int sketchquery(const char *text) {
  char block[512];
  ssize_t n;
  int fd = queryPort();
  discardInput(fd);
  sendLine(fd, text);
  if (!waitInput(fd, 200)) return 0;
  while ((n = read(fd, block, sizeof block)) > 0)
    if (write(STDOUT_FILENO, block, (size_t)n) != n) return 1;
  return 0;
}

static int sketchqueryblock(const char *text) {
  char line[512];
  int fd = queryPort();
  FILE *in = fdopen(fd, "r");
  discardInput(fd);
  sendLine(fd, text);
  waitInput(fd, 0);
  if (readLine(line, 511, in) != NULL) printf("%s", line);
  return 0;
}

static int whichsketch(void) {
  char line[255];
  int fd = openPort("/dev/ttyS0", O_RDWR | O_NOCTTY, B9600, 0, 10, 0);
  FILE *in = fopen("/dev/ttyS0", "r");
  sendLine(fd, "?");
  if (in == NULL || readLine(line, sizeof line, in) == NULL) {
    puts("NO replay");
    return 1;
  }
  printf("%s\n", line);
  return 0;
}

static void setReadMode(int fd, int vtime, int vmin) {
  struct termios t;
  tcgetattr(fd, &t);
  t.c_cc[VTIME] = (cc_t)vtime;
  t.c_cc[VMIN] = (cc_t)vmin;
  tcsetattr(fd, TCSAFLUSH, &t);
}

static int pinwaitDig(const char *pin, const char *level) {
  char line[255], command[50];
  int fd = openPort("/dev/ttyAMA0", O_RDWR | O_NOCTTY, B9600, 0, 0, 1);
  FILE *in = fdopen(fd, "r");
  setReadMode(fd, 5, 0);
  sendLine(fd, "?");
  if (fgets(line, sizeof line, in) == NULL || strncmp(line, "WaitSketch", 10) != 0) {
    puts("No sketch");
    return 254;
  }
  setReadMode(fd, 0, 1);
  snprintf(command, sizeof command, "INTD%s=%s", pin, level);
  sendLine(fd, command);
  if (fgets(line, sizeof line, in) == NULL || strncmp(line, "OK", 2) != 0) return 255;
  puts("OK Pin changed!");
  return 0;
}

static int cmdlistener(int relay) {
  char line[512], piece[512];
  FILE *in, *out, *command = NULL;
  puts("Intercepting commands from serial port...");
  puts("  format: $$$Ardu command... 'lf'");
  openPort("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK, B115200, 0, 1, kUnchanged);
  in = fopen("/dev/ttyS0", "r");
  out = fopen("/dev/ttyS0", "w");
  if (in == NULL || out == NULL) return 255;
  for (;;) {
    if (fgets(line, sizeof line, in) == NULL) {
      struct pollfd p;
      p.fd = fileno(in);
      p.events = POLLIN;
      clearerr(in);
      poll(&p, 1, -1);
    } else if (relay && strncmp(line, "$$$Ardu ", 8) == 0) {
      puts("<Command>");
      printf("command: %s", line + 8);
      command = popen(line + 8, "r");
      fputs(command != NULL ? "OK\n" : "NO\n", out);
      puts(command != NULL ? "> OK" : "> NO");
    } else if (strncmp(line, "$$$Resp ", 8) == 0) {
      puts("<GetAnswer");
      if (command == NULL) {
        fputs("\n", out);
        puts(">");
      }
      while (command != NULL && fgets(piece, sizeof piece, command) != NULL) {
        fputs(piece, out);
        fflush(out);
        fputs(piece, stdout);
      }
    } else if (strncmp(line, "$$$Cend ", 8) == 0) {
      puts("<End>");
      return 0;
    }
  }
}

int main(int argc, char **argv) {
  const char *mode = argc > 1 ? argv[1] : "";
  if (strcmp(mode, "sketchcheck") == 0 && argc == 3) return sketchcheck(argv[2]);
  if (strcmp(mode, "sketchquery") == 0 && argc == 3) return sketchquery(argv[2]);
  if (strcmp(mode, "sketchqueryblock") == 0 && argc == 3) return sketchqueryblock(argv[2]);
  if (strcmp(mode, "whichsketch") == 0 && argc == 2) return whichsketch();
  if (strcmp(mode, "pinwait-dig") == 0 && argc == 4) return pinwaitDig(argv[2], argv[3]);
  if (strcmp(mode, "cmdlistener-resp") == 0 && argc == 2) return cmdlistener(0);
  if (strcmp(mode, "cmdlistener-relay") == 0 && argc == 2) return cmdlistener(1);
  fputs("usage: minimal_query sketchcheck NAME | sketchquery TEXT | sketchqueryblock TEXT\n"
        "       minimal_query whichsketch | pinwait-dig N V | cmdlistener-resp | cmdlistener-relay\n",
        stderr);
  return 2;
}
