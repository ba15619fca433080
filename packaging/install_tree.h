// The build as `cmake --install` puts it on the Pi, for the tests of what the package holds and
// runs, and the commands of the build machine that look at it.
//
//   kPrefix          the install prefix the build was configured with
//   installRoot()    the build installed once per test program under a DESTDIR
//   installed(rel)   a path of that tree, relative to the prefix
//   shell(command)   a command of the build machine, its output and status
//   hostHomes()      what the host has under the fixed homes, which no test may change
//   machineRoot()    whether this runs as the machine's root, not in a user namespace
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench.h"

namespace installtree {

namespace fs = std::filesystem;

inline const fs::path kPrefix = ORVIX_PREFIX;

inline std::string quote(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Shell {
  std::string out;  // standard output and standard error
  int status = -1;
};

// A command of the build machine (not on the bench: it reads or writes only temporary files).
inline Shell shell(const std::string& command) {
  Shell r;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

inline void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// The build installed once per test program, as `cmake --install` does it on the Pi, under a
// DESTDIR so the tree mirrors the real prefix.
inline const fs::path& installRoot() {
  static bench::TempDir dir;
  static const bool done = [] {
    const auto r = shell("DESTDIR=" + quote(dir.path().string()) + " " ORVIX_CMAKE " --install " +
                         quote(ORVIX_BUILD_DIR));
    if (r.status != 0) ADD_FAILURE() << "cmake --install failed:\n" << r.out;
    return r.status == 0;
  }();
  (void)done;
  return dir.path();
}

inline fs::path installed(const fs::path& rel) { return installRoot() / kPrefix.relative_path() / rel; }

// The fixed paths as the host has them now: orvix-setup must never change them.
inline std::string hostHomes() {
  std::string view;
  for (const char* top : {"/home/pi", "/home/velmont"}) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(top, ec))) continue;
    view += top;
    view += '\n';
    for (auto it = fs::recursive_directory_iterator(top, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      view += it->path().string();
      if (it->is_symlink()) view += " -> " + fs::read_symlink(it->path()).string();
      view += '\n';
    }
  }
  return view;
}

// In a user namespace (under qemu in packaging/check, say) an overlay needs options of its own
// and device nodes cannot be made.
inline bool machineRoot() {
  std::ifstream map("/proc/self/uid_map");
  unsigned long inside = 1, outside = 1, count = 0;
  map >> inside >> outside >> count;
  return geteuid() == 0 && inside == 0 && outside == 0 && count == 4294967295UL;
}

}  // namespace installtree
