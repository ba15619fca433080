// The runner as the tools meet it: small shell commands run on a scratch board, each
// checking one promise of the private namespace or of the process handling.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "bench.h"

namespace fs = std::filesystem;

namespace {

using bench::slurp;

// Bytes from `fd` until `want` of them came or `timeoutMs` passed.
std::string readFor(int fd, std::size_t want, int timeoutMs) {
  std::string got;
  const std::int64_t end = bench::monotonicMicros() + std::int64_t{timeoutMs} * 1000;
  while (got.size() < want) {
    const std::int64_t left = (end - bench::monotonicMicros()) / 1000;
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buf[256];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

// A process that is gone or a zombie no longer runs.
bool gone(pid_t pid, int withinMs) {
  return bench::waitFor(
      [&] {
        const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
        return stat.empty() || stat.find(") Z ") != std::string::npos;
      },
      withinMs, 10);
}

class Runner : public ::testing::Test {
 protected:
  // `script` run by the shell, the run set up further by `setup`.
  bench::RunResult sh(const std::string& script, const std::function<void(bench::RunOptions&)>& setup = {}) {
    bench::RunOptions runOptions = shOptions(script);
    if (setup) setup(runOptions);
    return bench::run(board_.get(), std::move(runOptions));
  }
  static bench::RunOptions shOptions(const std::string& script) {
    bench::RunOptions runOptions;
    runOptions.argv = {"/bin/sh", "-c", script};
    return runOptions;
  }
  static void cLocale(bench::RunOptions& s) { s.env = {"LC_ALL=C"}; }
  static std::function<void(bench::RunOptions&)> ttyS0(const bench::Line& line) {
    return [&line](bench::RunOptions& s) { s.lines = {{"/dev/ttyS0", line.slavePath()}}; };
  }

  bench::ScratchBoard board_;
};

}  // namespace

// --- the private /dev ---

TEST_F(Runner, DevHoldsOnlyTheBenchEntries) {
  auto r = sh("ls -A /dev", cLocale);
  EXPECT_EQ(r.out, "fd\nfull\nnull\nptmx\npts\nrandom\nstderr\nstdin\nstdout\ntty\nurandom\nvboard\nzero\n");
  EXPECT_EQ(r.status, 0) << r.err;

  bench::Line line;
  r = sh("ls -A /dev", [&](auto& s) {
    s.lines = {{"/dev/ttyAMA0", line.slavePath()}};
    s.env = {"LC_ALL=C"};
  });
  EXPECT_EQ(r.out, "fd\nfull\nnull\nptmx\npts\nrandom\nstderr\nstdin\nstdout\ntty\nttyAMA0\nurandom\nvboard\nzero\n");
}

TEST_F(Runner, DevNodesAreTheHostsAndTheLinksPointHome) {
  std::ostringstream want;
  for (const char* node : {"null", "zero", "full", "tty", "random", "urandom"}) {
    struct stat st {};
    ASSERT_EQ(stat((std::string("/dev/") + node).c_str(), &st), 0) << node;
    want << node << ' ' << std::hex << major(st.st_rdev) << ':' << minor(st.st_rdev) << std::dec << '\n';
  }
  want << "/proc/self/fd pts/ptmx /proc/self/fd/0 /proc/self/fd/1 /proc/self/fd/2\n";
  const auto r =
      sh("for n in null zero full tty random urandom; do echo $n $(stat -c '%t:%T' /dev/$n); done;"
         "echo $(readlink /dev/fd /dev/ptmx /dev/stdin /dev/stdout /dev/stderr)");
  EXPECT_EQ(r.out, want.str());
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Runner, HostPseudoTerminalsAreInDevPts) {
  bench::Line line;
  const auto r = sh("test -c " + line.slavePath() + " && test -c /dev/pts/ptmx && echo ok");
  EXPECT_EQ(r.out, "ok\n") << r.err;
}

TEST_F(Runner, SerialNameCarriesBytesBothWays) {
  bench::Line line;
  auto r = sh("printf 'hello\\n' >/dev/ttyS0", ttyS0(line));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFor(line.master(), 7, 2000), "hello\r\n");

  line.setEcho(false);
  ASSERT_EQ(write(line.master(), "ping\n", 5), 5);
  r = sh("head -n 1 /dev/ttyS0", ttyS0(line));
  EXPECT_EQ(r.out, "ping\n");
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Runner, TwoNamesShareOneLine) {
  bench::Line line;
  const auto r =
      sh("printf 'a\\n' >/dev/ttyS0; printf 'b\\n' >/dev/Arduino; test /dev/ttyS0 -ef /dev/Arduino", [&](auto& s) {
        s.lines = {{"/dev/ttyS0", line.slavePath()}, {"/dev/Arduino", line.slavePath()}};
      });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFor(line.master(), 6, 2000), "a\r\nb\r\n");
}

TEST_F(Runner, TwoLinesStayApart) {
  bench::Line first, second;
  const auto r = sh("printf 1 >/dev/ttyS0; printf 2 >/dev/ttyAMA0", [&](auto& s) {
    s.lines = {{"/dev/ttyS0", first.slavePath()}, {"/dev/ttyAMA0", second.slavePath()}};
  });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFor(first.master(), 1, 2000), "1");
  EXPECT_EQ(readFor(second.master(), 1, 2000), "2");
  EXPECT_EQ(readFor(first.master(), 1, 100), "");
}

TEST_F(Runner, SerialNamesNotGivenAreAbsent) {
  bench::Line line;
  auto r = sh("for n in /dev/ttyS0 /dev/ttyAMA0 /dev/Arduino; do test -e $n && echo $n; done; echo end");
  EXPECT_EQ(r.out, "end\n");  // the host's own /dev/ttyS0 too
  r = sh("for n in /dev/ttyS0 /dev/ttyAMA0 /dev/Arduino; do test -e $n && echo $n; done; echo end", [&](auto& s) {
    s.lines = {{"/dev/Arduino", line.slavePath()}};
  });
  EXPECT_EQ(r.out, "/dev/Arduino\nend\n");
}

TEST_F(Runner, DevVboardIsTheBoard) {
  std::ofstream(board_->dir() / "from-test") << "seen\n";
  const auto r = sh("cat /dev/vboard/from-test; echo written >/dev/vboard/from-tool");
  EXPECT_EQ(r.out, "seen\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(board_->dir() / "from-tool"), "written\n");
}

// --- fixed outside paths ---

TEST_F(Runner, FixedPathsAreAbsentByDefault) {
  std::string script;
  for (const auto& p : bench::kFixedPaths) script += "test -e " + p + " && echo " + p + ";";
  const auto r = sh(script + "echo end");
  EXPECT_EQ(r.out, "end\n");
}

TEST_F(Runner, BoundFilesAppearAtTheirFixedPaths) {
  bench::TempDir tmp;
  const fs::path fake = tmp.path() / "avrdude";
  std::ofstream(fake) << "#!/bin/sh\necho avrdude \"$@\"\n";
  fs::permissions(fake, fs::perms::owner_all);
  const fs::path hex = tmp.path() / "wait.hex";
  std::ofstream(hex) << ":00000001FF\n";
  const auto r =
      sh("/home/velmont/avrdude -p m328p; cat /home/pi/bin/mcusketches/WaitSketch.hex;"
         "test -e /home/velmont/avrdude.conf || echo no conf; test -e /usr/bin/xterm || echo no xterm",
         [&](auto& s) {
           s.files = {{"/home/velmont/avrdude", fake}, {"/home/pi/bin/mcusketches/WaitSketch.hex", hex}};
         });
  EXPECT_EQ(r.out, "avrdude -p m328p\n:00000001FF\nno conf\nno xterm\n");
  EXPECT_EQ(r.status, 0) << r.err;
}

// A host that has the outside programs installed: vboard, run inside a run that binds them,
// makes its own tool's view in turn, where they must be gone.
TEST_F(Runner, FixedPathsTheHostHasAreHidden) {
  bench::TempDir tmp;
  std::ofstream(tmp.path() / "program") << "installed";
  const std::string vboard = (bench::toolDir().parent_path() / "vboard").string();
  const auto r =
      sh("cat /usr/bin/xterm /home/velmont/avrdude; echo; " + vboard +
             " run --scratch --bare -- sh -c 'test -e /usr/bin/xterm || echo no xterm;"
             "test -e /home/velmont/avrdude || echo no avrdude; test -d /home/velmont && echo dir kept'",
         [&](auto& s) {
           s.files = {{"/usr/bin/xterm", tmp.path() / "program"}, {"/home/velmont/avrdude", tmp.path() / "program"}};
         });
  EXPECT_EQ(r.out, "installedinstalled\nno xterm\nno avrdude\ndir kept\n");
  EXPECT_EQ(r.status, 0) << r.err;
}

// Homes are often links to another disk, and vboard often runs as root: with /home/pi and
// /home/velmont links out of /home, a run, bare or set up, changes nothing where they lead, by
// content or time stamp, and its tool still finds the home's own files there. The links are
// made on a tmpfs over /home in a run of the test's, never in the host's /home.
TEST_F(Runner, FixedPathsBehindLinksOutOfHomeLeaveTheirTargetsAlone) {
  bench::TempDir outside;
  const fs::path pi = outside.path() / "pi", velmont = outside.path() / "velmont";
  fs::create_directories(pi / "bin");
  fs::create_directories(velmont);
  std::ofstream(pi / "notes") << "the home's own\n";
  std::ofstream(pi / "bin" / "mcuload") << "the host's loader\n";  // what a bare run would remove
  std::ofstream(velmont / "avrdude") << "the host's avrdude\n";   // no avrdude.conf: what a set-up run would make
  const auto listing = [&] {
    std::string all;
    for (const auto& e : fs::recursive_directory_iterator(outside.path())) {
      struct stat st {};
      lstat(e.path().c_str(), &st);
      all += e.path().string() + " " + std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
             std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " +
             std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec) + " " +
             (S_ISREG(st.st_mode) ? slurp(e.path()) : "") + "\n";
    }
    return all;
  };
  const std::string before = listing();
  const std::string vboard = (bench::toolDir().parent_path() / "vboard").string();
  const auto setUp = bench::setUpPi();
  for (const std::string option : {"--bare", ""}) {
    std::string want = "the home's own\n";
    if (option.empty())
      for (const char* path : {bench::kAvrdude, bench::kAvrdudeConf, bench::kLoader})
        if (setUp.count(path)) want += std::string(path) + "\n";
    const auto r = sh("mount -t tmpfs home /home && ln -s " + pi.string() + " /home/pi && ln -s " + velmont.string() +
                          " /home/velmont && " + vboard + " run --scratch " + option +
                          " -- sh -c 'cat /home/pi/notes; for p in " + bench::kAvrdude + " " + bench::kAvrdudeConf + " " +
                          bench::kLoader + "; do test -e $p && echo $p; done; echo tool >/home/pi/notes && cat /home/pi/notes'",
                      cLocale);
    EXPECT_EQ(r.out, want + "tool\n") << option;
    EXPECT_EQ(r.status, 0) << option << r.err;
    EXPECT_EQ(listing(), before) << option;
  }
}

TEST_F(Runner, HomeAndUsrBinKeepTheHostsFilesAndNeverChangeThem) {
  std::set<std::string> entries;
  for (const auto& e : fs::directory_iterator("/home"))
    if (e.path().filename().string()[0] != '.') entries.insert(e.path().filename().string());
  entries.insert("velmont");  // made by the binding below, in the tool's view only
  std::string hostHome;
  for (const auto& e : entries) hostHome += e + " ";
  const bool hadVelmont = fs::exists("/home/velmont"), hadXterm = fs::exists("/usr/bin/xterm");
  const std::string probe = "/home/runner-probe-" + std::to_string(getpid());

  bench::TempDir tmp;
  std::ofstream(tmp.path() / "xterm") << "x";
  const std::string script = "for e in /home/*; do printf '%s ' ${e#/home/}; done; echo; echo tool >" + probe +
                             " && cat " + probe + "; test -x /usr/bin/sh && cat /usr/bin/xterm";
  const auto r = sh(script, [&](auto& s) {
    s.files = {{"/usr/bin/xterm", tmp.path() / "xterm"}, {"/home/velmont/avrdude", "/dev/null"}};
    s.env = {"LC_ALL=C"};
  });
  EXPECT_EQ(r.out, hostHome + "\ntool\nx");
  EXPECT_FALSE(fs::exists(probe));
  EXPECT_EQ(fs::exists("/home/velmont"), hadVelmont);
  EXPECT_EQ(fs::exists("/usr/bin/xterm"), hadXterm);
}

// --- environment ---

TEST_F(Runner, PathHasTheStandInsThenTheToolsFirst) {
  const std::string caller = std::getenv("PATH") ? std::getenv("PATH") : "";
  auto r = sh("echo \"$PATH\"");
  EXPECT_EQ(r.out, bench::standInDir().string() + ":" + bench::toolDir().string() + ":" + caller + "\n");
  r = sh("echo \"$PATH\"", [](auto& s) { s.standIns = false; });
  EXPECT_EQ(r.out, bench::toolDir().string() + ":" + caller + "\n");
  r = sh("command -v sudo; command -v date");
  EXPECT_EQ(r.out, (bench::standInDir() / "sudo").string() + "\n" + (bench::standInDir() / "date").string() + "\n");
}

// Without the stand-ins a tool reaches the system's date, and date -s still fails: nothing in
// a run may set the clock. The script tries only once it has seen that the power is gone, so
// that a run that still had it would fail here without setting the host's clock.
TEST_F(Runner, NothingInARunCanSetTheClock) {
  const auto r = sh(
      "for set in CapBnd CapInh CapAmb CapPrm; do"
      "  caps=$(sed -n \"s/^$set:[[:space:]]*//p\" /proc/self/status);"
      "  if [ -z \"$caps\" ] || [ $(( 0x$caps >> 25 & 1 )) -ne 0 ]; then echo \"$set: may set the clock\"; exit 3; fi;"
      "done;"
      "date -s \"@$(date +%s)\" >/dev/null; echo \"date -s: $?\"",
      [](auto& s) {
        s.standIns = false;
        s.env = {"LC_ALL=C"};
      });
  EXPECT_EQ(r.out, "date -s: 1\n");
  EXPECT_NE(r.err.find("date: cannot set date: Operation not permitted"), std::string::npos) << r.err;
}

// A tool that sets its own PATH, or none, still meets the stand-ins where sudo and date are.
TEST_F(Runner, StandInsTakeThePlaceOfTheSystemsSudoAndDate) {
  const auto r = sh("env -i /bin/sh -c 'sudo date -s \"12/25/2026 18:30:00\" >/dev/null; /bin/date +%d/%m/%Y'");
  EXPECT_EQ(r.out, "25/12/2026\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(board_->commands(), (std::vector<std::vector<std::string>>{
                                    {"sudo", "date", "-s", "12/25/2026 18:30:00"},
                                    {"date", "-s", "12/25/2026 18:30:00"},
                                    {"date", "+%d/%m/%Y"}}));
}

// The modem-control lines of a Pi's UART on a bench line, for every program of the run (avrdude
// asks for them): DTR and RTS raised at open, each change in the board's trace.
TEST_F(Runner, ASerialLineHasTheUartsModemLines) {
  if (sh("echo \"$LD_PRELOAD\"").out.find("uart-modem") == std::string::npos)
    GTEST_SKIP() << "a cross build runs programs of two machines, and preloads no library";
  bench::Line line;
  const std::string probe = (bench::standInDir() / "uart-probe").string();
  auto r = sh(probe + " /dev/ttyAMA0", [&](auto& s) {
    s.lines = {{"/dev/ttyAMA0", line.slavePath()}};
    s.env = {"LC_ALL=C"};
  });
  EXPECT_EQ(r.out, "get: dtr 1 rts 1\nclear dtr: dtr 0 rts 1\nset both: dtr 1 rts 1\nset none: dtr 0 rts 0\n") << r.err;
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(simboard::describe(board_->trace("serial-")),
            (std::vector<std::string>{"serial-modem 0 1", "serial-modem 1 1", "serial-modem 0 0"}));

  // What is no terminal still refuses them.
  r = sh(probe + " /dev/null", cLocale);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "get: Inappropriate ioctl for device");
}

TEST_F(Runner, EnvironmentLimitAndDirectory) {
  bench::TempDir tmp;
  const auto r = sh("echo \"$ORVIX_A $HOME\"; ulimit -n; pwd", [&](auto& s) {
    s.env = {"ORVIX_A=one", "HOME=/nowhere"};
    s.maxOpenFiles = 17;
    s.cwd = tmp.path();
  });
  EXPECT_EQ(r.out, "one /nowhere\n17\n" + tmp.path().string() + "\n");
}

TEST_F(Runner, TheTestsDescriptorsStayWithTheTest) {
  bench::TempDir tmp;
  const fs::path marker = tmp.path() / "marker";
  std::ofstream(marker) << "";
  const int fd = open(marker.c_str(), O_RDONLY);  // deliberately inheritable
  ASSERT_GE(fd, 0);
  const auto r = sh("ls -l /proc/$$/fd");
  close(fd);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("marker"), std::string::npos) << r.out;
}

// --- the process ---

TEST_F(Runner, ExitStatusAndSignal) {
  auto r = sh("exit 3");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.signal, 0);
  EXPECT_FALSE(r.timedOut);
  r = sh("kill -TERM $$; sleep 5");
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(r.status, -1);
  EXPECT_LT(r.seconds, 2);
}

// At the time limit the whole group is asked to end (SIGTERM), so that a tool can put back what
// it holds; what is still there after a grace of 2 s is killed.
TEST_F(Runner, TimeLimitStopsTheWholeGroup) {
  struct Row {
    std::string script, out;
    int signal, status;
    double from, to;  // seconds the run lasts
  };
  for (const Row& row : {Row{"sleep 30 & echo $!; sleep 30", "", SIGTERM, -1, 0.29, 1.5},
                         Row{"trap 'echo got-term; exit 3' TERM; sleep 30 & echo $!; wait", "got-term\n", 0, 3, 0.29, 1.5},
                         Row{"trap '' TERM; sleep 30 & echo $!; sleep 30", "", SIGKILL, -1, 2.29, 3.5}}) {
    const auto r = sh(row.script, [](auto& s) { s.timeoutMs = 300; });
    EXPECT_TRUE(r.timedOut) << row.script;
    EXPECT_EQ(r.signal, row.signal) << row.script;
    EXPECT_EQ(r.status, row.status) << row.script;
    EXPECT_GE(r.seconds, row.from) << row.script;
    EXPECT_LT(r.seconds, row.to) << row.script;
    const auto eol = r.out.find('\n');
    ASSERT_NE(eol, std::string::npos) << row.script;
    EXPECT_EQ(r.out.substr(eol + 1), row.out);
    EXPECT_TRUE(gone(std::stoi(r.out), 2000)) << row.script;
  }
}

TEST_F(Runner, ToolThatLeavesAProcessEndsItsRunAndTheRestIsKilled) {
  const auto r = sh("sleep 30 & echo $!");  // the sleep holds the output pipe
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(r.seconds, 2);
  ASSERT_FALSE(r.out.empty());
  EXPECT_TRUE(gone(std::stoi(r.out), 2000));
}

TEST_F(Runner, OutputAndErrorsApart) {
  const auto r = sh("printf out1; printf err1 >&2; printf out2; printf err2 >&2");
  EXPECT_EQ(r.out, "out1out2");
  EXPECT_EQ(r.err, "err1err2");
}

TEST_F(Runner, InputDeliveredAndLargeStreamsDoNotStall) {
  auto r = sh("cat", [](auto& s) { s.input = "abc\nxyz"; });
  EXPECT_EQ(r.out, "abc\nxyz");
  r = sh("wc -c; head -c 3000000 /dev/zero", [](auto& s) { s.input = std::string(1 << 20, 'x'); });
  EXPECT_EQ(r.out.substr(0, 8), "1048576\n");
  EXPECT_EQ(r.out.size(), 8u + 3000000u);
  EXPECT_EQ(r.status, 0);
  r = sh("true", [](auto& s) { s.input = std::string(1 << 20, 'x'); });  // input nobody reads
  EXPECT_EQ(r.status, 0);
}

TEST_F(Runner, InputWhileRunning) {
  auto runOptions = shOptions("while read l; do echo \"got $l\"; done; echo eof");
  runOptions.keepInputOpen = true;
  bench::Process p(board_.get(), runOptions);
  p.write("one\n");
  EXPECT_TRUE(p.waitOutput("got one\n", 2000));
  EXPECT_TRUE(p.running());
  p.write("two\n");
  EXPECT_TRUE(p.waitOutput("got two\n", 2000));
  p.closeInput();
  const auto r = p.wait();
  EXPECT_EQ(r.out, "got one\ngot two\neof\n");
  EXPECT_FALSE(p.running());
  EXPECT_THROW(p.write("late\n"), std::logic_error);
}

TEST_F(Runner, OutputIsTimedAsItArrives) {
  const auto r = sh("echo a; sleep 0.3; echo b; sleep 0.3; echo c");
  ASSERT_EQ(r.outChunks.size(), 3u);
  EXPECT_EQ(r.outChunks[0].second, "a\n");
  EXPECT_EQ(r.outChunks[1].second, "b\n");
  EXPECT_EQ(r.outChunks[2].second, "c\n");
  // The first piece may be read late by a bench that is still warming up (under valgrind,
  // by some 60 ms); the next one is read as it comes.
  EXPECT_GE(r.outChunks[1].first - r.outChunks[0].first, 200000);
  const auto gap = r.outChunks[2].first - r.outChunks[1].first;
  EXPECT_GE(gap, 290000);
  EXPECT_LT(gap, 1000000);
  EXPECT_LE(r.startUs, r.outChunks[0].first);
  EXPECT_LT(r.outChunks[2].first - r.endUs, 50000);  // read as the tool ended, perhaps just after
  EXPECT_NEAR(r.seconds, static_cast<double>(r.endUs - r.startUs) / 1e6, 1e-6);
}

TEST_F(Runner, WaitOutputGivesUp) {
  bench::Process p(board_.get(), shOptions("echo begun; sleep 30"));
  EXPECT_TRUE(p.waitOutput("begun", 2000));
  const auto t0 = bench::monotonicMicros();
  EXPECT_FALSE(p.waitOutput("never", 200));
  EXPECT_GE(bench::monotonicMicros() - t0, 190000);
  EXPECT_EQ(p.out(), "begun\n");
  p.signal(SIGTERM);
  const auto r = p.wait();
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_FALSE(r.timedOut);
}

// A signal to vboard run goes on to the tool's process group; the run still cleans up after it:
// its scratch board and its mount folder (both in TMPDIR) are gone. Killed outright, vboard
// takes its tool and the tool's children with it, and its mount folder; its scratch board stays.
TEST_F(Runner, ASignalToVboardRunEndsTheToolAndTheRunCleansUp) {
  for (const int sig : {SIGTERM, SIGKILL}) {
    bench::TempDir tmp;
    const std::string vboard = (bench::toolDir().parent_path() / "vboard").string();
    bench::Process p(board_.get(), {.argv = {vboard, "run", "--scratch", "--line", "/dev/ttyS0", "--", "sh", "-c",
                                             "sleep 30 & echo $!; sleep 30"},
                                    .env = {"TMPDIR=" + tmp.path().string()}});
    ASSERT_TRUE(p.waitOutput("\n", 5000)) << p.out();
    const pid_t sleeper = std::stoi(p.out());
    p.signal(sig);  // vboard alone: the tool is in a group of its own
    const auto r = p.wait();
    EXPECT_EQ(sig == SIGTERM ? r.status : r.signal, sig == SIGTERM ? 128 + SIGTERM : SIGKILL) << r.err;
    EXPECT_LT(r.seconds, 3);
    EXPECT_TRUE(gone(sleeper, 2000)) << sig;
    const auto leftBehind = [&] {
      return std::count_if(fs::directory_iterator(tmp.path()), fs::directory_iterator(), [&](const auto& e) {
        return !(sig == SIGKILL && e.path().filename().string().starts_with("vboard."));
      });
    };
    EXPECT_TRUE(bench::waitFor([&] { return leftBehind() == 0; }, 2000)) << sig;
  }
}

TEST_F(Runner, DestructorKillsWhatIsLeft) {
  pid_t tool = 0, sleeper = 0;
  {
    bench::Process p(board_.get(), shOptions("sleep 30 & echo $!; wait"));
    ASSERT_TRUE(p.waitOutput("\n", 2000));
    tool = p.pid();
    sleeper = std::stoi(p.out());
    EXPECT_TRUE(p.running());
  }
  EXPECT_TRUE(gone(sleeper, 2000));
  EXPECT_TRUE(gone(tool, 100));
}

TEST_F(Runner, SetupFailuresAreReportedNotHung) {
  const auto t0 = bench::monotonicMicros();
  try {
    sh("true", [](auto& s) { s.files = {{"/home/velmont/avrdude", "/nonexistent/avrdude"}}; });
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "bench: cannot bind /nonexistent/avrdude onto /home/velmont/avrdude: No such file or directory");
  }
  try {
    sh("", [](auto& s) { s.argv = {"no-such-tool"}; });
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "bench: cannot run no-such-tool: No such file or directory");
  }
  EXPECT_LT(bench::monotonicMicros() - t0, 2000000);
  EXPECT_THROW(sh("true", [](auto& s) { s.lines = {{"/tmp/ttyS0", "/dev/pts/0"}}; }), std::invalid_argument);
  EXPECT_THROW(sh("true", [](auto& s) { s.files = {{"/etc/avrdude", "/dev/null"}}; }), std::invalid_argument);
  EXPECT_THROW(sh("", [](auto& s) { s.argv.clear(); }), std::invalid_argument);
}

TEST_F(Runner, StandardStreamsCanBeTheCallers) {
  bench::TempDir tmp;
  const fs::path in = tmp.path() / "in", out = tmp.path() / "out";
  std::ofstream(in) << "from the caller\n";
  std::fflush(stdout);
  const int saved[2] = {dup(0), dup(1)};
  const int inFd = open(in.c_str(), O_RDONLY), outFd = open(out.c_str(), O_WRONLY | O_CREAT, 0600);
  dup2(inFd, 0);
  dup2(outFd, 1);
  const auto r = sh("cat; echo done", [](auto& s) { s.inheritStdio = true; });
  dup2(saved[0], 0);
  dup2(saved[1], 1);
  for (int fd : {saved[0], saved[1], inFd, outFd}) close(fd);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(slurp(out), "from the caller\ndone\n");
}

// Run from a terminal (as vboard is), the tool is the terminal's foreground job, so that it can
// read it and a ^C reaches it; the caller gets the terminal back afterwards.
TEST_F(Runner, TakesTheCallersTerminalAndGivesItBack) {
  bench::Line terminal;
  terminal.setEcho(false);
  ASSERT_EQ(write(terminal.master(), "typed\n", 6), 6);
  std::fflush(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int tty = setsid() < 0 ? -1 : open(terminal.slavePath().c_str(), O_RDWR);  // our controlling terminal
    if (tty < 0 || dup2(tty, 0) < 0 || dup2(tty, 1) < 0 || dup2(tty, 2) < 0) _exit(3);
    try {
      auto runOptions = shOptions("set -- $(cut -d' ' -f5,8 /proc/self/stat); test $1 = $2 && echo foreground; head -n 1");
      runOptions.inheritStdio = true;
      runOptions.timeoutMs = 3000;
      const auto r = bench::run(board_.get(), runOptions);
      _exit(r.status != 0 ? 4 : tcgetpgrp(0) != getpgrp() ? 5 : 0);
    } catch (const std::exception&) {
      _exit(6);
    }
  }
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(readFor(terminal.master(), 19, 1000), "foreground\r\ntyped\r\n");
}

TEST_F(Runner, NoTimeLimitWhenZero) {
  const auto r = sh("sleep 0.2; echo late", [](auto& s) { s.timeoutMs = 0; });
  EXPECT_EQ(r.out, "late\n");
  EXPECT_FALSE(r.timedOut);
}

// --- nothing left behind ---

TEST_F(Runner, MountsStayInsideAndTheScratchGoes) {
  auto runOptions = shOptions("sed -n 's/.*upperdir=\\([^,]*\\)\\/home.upper.*/\\1/p' /proc/self/mountinfo; cat");
  runOptions.keepInputOpen = true;
  std::string scratch;
  {
    bench::Process p(board_.get(), runOptions);
    ASSERT_TRUE(p.waitOutput("\n", 2000));
    scratch = p.out().substr(0, p.out().size() - 1);
    ASSERT_EQ(scratch.rfind(fs::canonical(fs::temp_directory_path()).string(), 0), 0u) << scratch;
    EXPECT_TRUE(fs::is_empty(scratch));  // its tmpfs is the tool's alone
    const std::string host = slurp("/proc/self/mountinfo");
    EXPECT_EQ(host.find(scratch), std::string::npos);
    EXPECT_EQ(host.find(" /dev/vboard "), std::string::npos);
    EXPECT_EQ(host.find(" /home "), std::string::npos);
    EXPECT_EQ(host.find(" /usr/bin "), std::string::npos);
    EXPECT_FALSE(fs::exists("/dev/vboard"));
  }
  EXPECT_FALSE(fs::exists(scratch));
  EXPECT_EQ(slurp("/proc/self/mountinfo").find(scratch), std::string::npos);
}

// Without the right to mount, the runner makes a user namespace and the same view in it.
TEST_F(Runner, WorksForAnUnprivilegedUser) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to become another user";
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  std::fflush(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(pipeFds[0]);
    std::string report;
    if (setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0 &&
        prctl(PR_SET_DUMPABLE, 1) == 0) {  // a uid change made it undumpable: no uid_map
      try {
        bench::ScratchBoard board;
        bench::RunOptions runOptions;
        runOptions.argv = {"/bin/sh", "-c",
                           "id -u; ls -A /dev | tr '\\n' ' '; echo; echo x >/dev/vboard/p;"
                           "test -e /home/velmont/avrdude || echo absent"};
        runOptions.env = {"LC_ALL=C"};
        const auto r = bench::run(board.get(), runOptions);
        report = r.out + r.err + slurp(board->dir() / "p") + std::to_string(r.status);
      } catch (const std::exception& e) {
        report = e.what();
      }
    } else {
      report = "cannot become nobody";
    }
    [[maybe_unused]] const ssize_t n = write(pipeFds[1], report.data(), report.size());
    _exit(0);
  }
  close(pipeFds[1]);
  const std::string report = readFor(pipeFds[0], 1 << 16, 20000);
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(report, "0\nfd full null ptmx pts random stderr stdin stdout tty urandom vboard zero \nabsent\nx\n0");
}
