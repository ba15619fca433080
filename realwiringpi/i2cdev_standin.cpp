// Stand-in for the Pi's kernel as wiringPi meets it, preloaded (LD_PRELOAD) into a tool built
// against the real library and run on the virtual board:
//
//   /dev/i2c-1 (/dev/i2c-0)    open(), ioctl I2C_SLAVE and the SMBus byte transfers, answered
//                              from the board's clock chip and its bus faults: ENOENT, EACCES,
//                              EBUSY, ENXIO, EIO as simboard::Board gives them
//   /dev/mem, /dev/gpiomem     EACCES: a user outside group gpio; the GPIO memory is never mapped
//   /proc/cpuinfo              a Raspberry Pi 4 Model B's, for the library's board detection
//   the device tree's revision file: absent, so that detection reads /proc/cpuinfo
//
// Every other call goes on to the C library. Without a board at /dev/vboard the bus is left
// to the system. LD_PRELOAD is taken out of the environment, so that what a tool starts runs
// without the stand-in.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>

#include "board.h"

namespace {

const char kCpuinfo[] =
    "processor\t: 0\n"
    "model name\t: ARMv7 Processor rev 3 (v7l)\n"
    "Features\t: half thumb fastmult vfp edsp neon vfpv3 tls vfpv4 idiva idivt vfpd32 lpae evtstrm crc32\n"
    "\n"
    "Hardware\t: BCM2711\n"
    "Revision\t: c03114\n"
    "Serial\t\t: 10000000a1b2c3d4\n"
    "Model\t\t: Raspberry Pi 4 Model B Rev 1.4\n";

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

std::set<int>& busFds() {
  static std::set<int> fds;
  return fds;
}

bool isBus(const char* path) { return std::strcmp(path, "/dev/i2c-1") == 0 || std::strcmp(path, "/dev/i2c-0") == 0; }

bool isGpioMemory(const char* path) {
  return std::strcmp(path, "/dev/mem") == 0 || std::strcmp(path, "/dev/gpiomem") == 0 ||
         std::strcmp(path, "/dev/gpiomem0") == 0;
}

// The descriptor (or -1 and errno) for a device answered here; nullopt for any other path.
std::optional<int> answerOpen(const char* path) {
  if (isGpioMemory(path)) {
    errno = EACCES;
    return -1;
  }
  if (!isBus(path)) return std::nullopt;
  auto board = simboard::Board::open(simboard::kBoardPath);
  if (!board) return std::nullopt;
  const int fd = board->i2cOpen();
  if (fd >= 0) busFds().insert(fd);
  return fd;
}

int smbus(int fd, i2c_smbus_ioctl_data* args) {
  auto board = simboard::Board::open(simboard::kBoardPath);
  if (!board || args->size != I2C_SMBUS_BYTE_DATA) {
    errno = EINVAL;
    return -1;
  }
  if (args->read_write == I2C_SMBUS_WRITE) return board->i2cWrite(fd, args->command, args->data->byte);
  const int value = board->i2cRead(fd, args->command);
  if (value < 0) return -1;
  args->data->byte = static_cast<__u8>(value);
  return 0;
}

[[gnu::constructor]] void leaveNoPreload() { unsetenv("LD_PRELOAD"); }

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  if (const auto fd = answerOpen(path)) return *fd;
  static const auto real = next<int (*)(const char*, int, ...)>("open");
  return real(path, flags, mode);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (busFds().count(fd)) {
    if (request == I2C_SLAVE) {
      auto board = simboard::Board::open(simboard::kBoardPath);
      return board ? board->i2cSelect(fd, static_cast<int>(reinterpret_cast<long>(arg))) : (errno = EIO, -1);
    }
    if (request == I2C_SMBUS) return smbus(fd, static_cast<i2c_smbus_ioctl_data*>(arg));
    errno = ENOTTY;
    return -1;
  }
  static const auto real = next<int (*)(int, unsigned long, ...)>("ioctl");
  return real(fd, request, arg);
}

FILE* fopen(const char* path, const char* mode) {
  if (std::strcmp(path, "/proc/cpuinfo") == 0)
    return fmemopen(const_cast<char*>(kCpuinfo), sizeof kCpuinfo - 1, "r");
  if (std::strcmp(path, "/proc/device-tree/system/linux,revision") == 0) {
    errno = ENOENT;
    return nullptr;
  }
  static const auto real = next<FILE* (*)(const char*, const char*)>("fopen");
  return real(path, mode);
}

}  // extern "C"
