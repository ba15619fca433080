/* The modem-control lines of a Pi's UART, on the bench's serial lines.
 *
 * A bench line is a pseudo-terminal, which refuses the modem-control requests (TIOCMGET,
 * TIOCMSET, TIOCMBIS, TIOCMBIC) with ENOTTY; a Pi's UART keeps its DTR and RTS outputs and
 * reports them. The bench preloads this library into every program of a run: where a
 * pseudo-terminal refuses such a request, it is answered as the UART would answer it, and
 * each change of DTR or RTS is added to the board's trace:
 *
 *   MONOTONIC_US PID serial-modem DTR RTS
 *
 * The lines are kept per terminal device in this process. Both outputs are raised when a
 * terminal is opened, as the kernel raises them on a UART; the inputs (CTS, DSR, CD, RI) are
 * not wired on the board and read as not asserted. Any other request, or a terminal that
 * answers for itself, goes to the system's ioctl unchanged.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

/* Where a run mounts the board (simboard::kBoardPath), and its trace there. */
#define BOARD_TRACE "/dev/vboard/trace"
/* The majors of the pseudo-terminals' slave sides (UNIX98_PTY_SLAVE_MAJOR and the next 7). */
#define PTY_SLAVE_FIRST 136
#define PTY_SLAVE_LAST 143

typedef int (*ioctl_function)(int, unsigned long, ...);

static struct {
  dev_t device;
  int bits;
} lines[16];
static int known;

static void trace(int bits) {
  char text[96];
  struct timespec now;
  int fd, n;
  clock_gettime(CLOCK_MONOTONIC, &now);
  n = snprintf(text, sizeof text, "%lld %d serial-modem %d %d\n",
               (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000, (int)getpid(), (bits & TIOCM_DTR) != 0,
               (bits & TIOCM_RTS) != 0);
  fd = open(BOARD_TRACE, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return; /* not on a board: nothing to record */
  if (write(fd, text, (size_t)n) != n) {
    /* the trace is a record; a program does not fail for want of it */
  }
  close(fd);
}

/* The lines of the terminal behind `fd`, or NULL when it is no pseudo-terminal. */
static int *linesOf(int fd) {
  struct stat st;
  int i;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) < PTY_SLAVE_FIRST ||
      major(st.st_rdev) > PTY_SLAVE_LAST)
    return NULL;
  for (i = 0; i < known; ++i)
    if (lines[i].device == st.st_rdev) return &lines[i].bits;
  if (known == (int)(sizeof lines / sizeof lines[0])) return NULL;
  lines[known].device = st.st_rdev;
  lines[known].bits = TIOCM_DTR | TIOCM_RTS;
  return &lines[known++].bits;
}

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_function system_ioctl;
  va_list args;
  void *arg;
  int result, *bits, old, set;
  va_start(args, request);
  arg = va_arg(args, void *);
  va_end(args);
  /* As POSIX has it: a function's address is read from dlsym through an object pointer. */
  if (!system_ioctl) *(void **)&system_ioctl = dlsym(RTLD_NEXT, "ioctl");
  result = system_ioctl(fd, request, arg);
  if (result != -1 || errno != ENOTTY ||
      (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC))
    return result;
  bits = linesOf(fd);
  if (!bits || !arg) {
    errno = bits ? EFAULT : ENOTTY;
    return -1;
  }
  if (request == TIOCMGET) {
    *(int *)arg = *bits;
    return 0;
  }
  old = *bits;
  set = *(const int *)arg & (TIOCM_DTR | TIOCM_RTS);
  if (request == TIOCMSET)
    *bits = set;
  else if (request == TIOCMBIS)
    *bits |= set;
  else
    *bits &= ~set;
  if (*bits != old) trace(*bits);
  return 0;
}
