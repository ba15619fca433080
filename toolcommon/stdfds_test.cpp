// The standard descriptors in a child of this process, closed in every combination.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <utility>

#include "stdfds.h"

namespace {

// What descriptor `fd` is: "null", "kept" for the file it held before, or "closed".
std::string what(int fd, const struct stat& before) {
  struct stat now {};
  if (fstat(fd, &now) != 0) return "closed";
  if (now.st_dev == before.st_dev && now.st_ino == before.st_ino) return "kept";
  struct stat null {};
  stat("/dev/null", &null);
  return now.st_rdev == null.st_rdev && S_ISCHR(now.st_mode) ? "null" : "other";
}

}  // namespace

TEST(OpenStandardFds, FillsEachClosedNumberWithNullAndLeavesOpenOnesAlone) {
  // Each of the three standard descriptors is a pipe end here, so that /dev/null cannot be
  // mistaken for one kept.
  for (int closed = 0; closed < 8; ++closed) {
    SCOPED_TRACE(closed);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int ends[2];
      if (pipe(ends) != 0) _exit(2);
      struct stat before {};
      fstat(ends[0], &before);
      for (int fd = 0; fd <= 2; ++fd) {
        if (closed & (1 << fd))
          close(fd);
        else
          dup2(ends[0], fd);
      }
      openStandardFds();
      std::string seen;
      for (int fd = 0; fd <= 2; ++fd) seen += what(fd, before) + " ";
      // The next file opened gets a number above the standard three.
      const int next = open("/dev/zero", O_RDONLY);
      seen += std::to_string(next > 2);
      if (write(report[1], seen.data(), seen.size()) < 0) _exit(2);
      _exit(0);
    }
    close(report[1]);
    std::string seen(64, '\0');
    const ssize_t n = read(report[0], seen.data(), seen.size());
    close(report[0]);
    seen.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    std::string expected;
    for (int fd = 0; fd <= 2; ++fd) expected += (closed & (1 << fd)) ? "null " : "kept ";
    EXPECT_EQ(seen, expected + "1");
  }
}

namespace {

// A child that prints "result" to `out` and exits with 3; its status, and what it said on a pipe
// standing for its standard error.
std::pair<int, std::string> printTo(int out) {
  int err[2];
  if (pipe(err) != 0) return {-1, ""};
  std::fflush(stdout);  // the child's exit would flush what is ours
  const pid_t child = fork();
  if (child == 0) {
    dup2(out, STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    failOnLostOutput();
    std::printf("result\n");
    std::exit(3);
  }
  close(err[1]);
  std::string said(256, '\0');
  const ssize_t n = read(err[0], said.data(), said.size());
  close(err[0]);
  said.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  int status = -1;
  waitpid(child, &status, 0);
  return {status, said};
}

}  // namespace

TEST(FailOnLostOutput, AResultThatCannotBeWrittenEndsWith255) {
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  auto [status, said] = printTo(full);
  close(full);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 255);
  EXPECT_EQ(said, std::string(program_invocation_short_name) + ": cannot write standard output: No space left on device\n");

  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);  // nobody reads the result
  std::tie(status, said) = printTo(ends[1]);
  close(ends[1]);
  ASSERT_TRUE(WIFEXITED(status)) << "not killed by SIGPIPE";
  EXPECT_EQ(WEXITSTATUS(status), 255);
  EXPECT_EQ(said, std::string(program_invocation_short_name) + ": cannot write standard output: Broken pipe\n");

  const int null = open("/dev/null", O_WRONLY);
  std::tie(status, said) = printTo(null);
  close(null);
  EXPECT_EQ(WEXITSTATUS(status), 3) << "a written result keeps the program's own status";
  EXPECT_EQ(said, "");
}

TEST(FailOnLostOutput, AWriteWithoutStdioThatFailedIsReportedWithItsReason) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    failOnLostOutput();
    outputLost(ENOSPC);
    std::exit(0);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 255);
}
