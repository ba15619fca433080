// termbridge on the bench: with the recording window at /usr/bin/xterm, with no window
// program at all, and with Debian's xterm on a virtual X display.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "bench.h"
#include "standins/xterm-recorder.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

extern char** environ;

namespace {

using bench::slurp;
using bench::waitFor;
namespace window = bench::window;

// The status flags of descriptor `fd` of process `pid`, from /proc.
int fdFlags(pid_t pid, int fd) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
  for (std::string key, value; in >> key >> value;)
    if (key == "flags:") return std::stoi(value, nullptr, 8);
  return -1;
}

std::vector<std::string> openFiles(pid_t pid) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code lec;
    files.push_back(fs::read_symlink(e.path(), lec).string());
  }
  return files;
}

// The bridge's end of the pseudo-terminal: its only terminal, the bench giving it pipes.
std::string slaveOf(pid_t pid) {
  for (const auto& f : openFiles(pid))
    if (f.starts_with("/dev/pts/") && f != "/dev/pts/ptmx") return f;
  return {};
}

// Waits until the bridge has read every line that reached the slave side. A line read in
// a pass is written out in the same pass, so from then on no signal can lose it.
bool waitTaken(const std::string& slave, int ms = 3000) {
  return waitFor(
      [&] {
        const int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return false;
        int waiting = -1;
        ioctl(fd, FIONREAD, &waiting);
        ::close(fd);
        return waiting == 0;
      },
      ms);
}

bench::RunOptions bridgeOptions(std::vector<std::string> argv = {"termbridge"}) {
  bench::RunOptions s;
  s.argv = std::move(argv);
  s.keepInputOpen = true;
  s.timeoutMs = 20000;
  bench::bindStandIn(s, bench::kXterm);
  return s;
}

// The recording window of a run: its records are files of the board.
class Window {
 public:
  explicit Window(const bench::Board& board) : dir_(board.dir()) {}

  // What the window found when it started; waits until it has written it all.
  std::map<std::string, std::string> found(int ms = 5000) const {
    waitFor([&] { return window::up(dir_); }, ms);
    return window::found(dir_);
  }
  std::string shown() const { return window::shown(dir_); }
  bool waitShown(const std::string& needle, int ms = 3000) const {
    return waitFor([&] { return shown().find(needle) != std::string::npos; }, ms);
  }
  std::vector<std::pair<std::int64_t, std::size_t>> reads() const { return window::reads(dir_); }
  void type(const std::string& keys) const { window::type(dir_, keys); }
  void close() const { window::close(dir_); }
  bool running() const { return window::running(dir_); }
  bool waitGone(int ms = 2000) const {
    return waitFor([&] { return !running(); }, ms);
  }
  bool exists(const std::string& record) const { return fs::exists(dir_ / record); }
  bool taken() const { return waitTaken(found()["slave"]); }

 private:
  fs::path dir_;
};

class Termbridge : public ::testing::Test {
 protected:
  bench::ScratchBoard board;
  Window win{board.get()};
};

}  // namespace

// --- the window and its pseudo-terminal ---

TEST_F(Termbridge, StartsXtermOnTheMasterAndKeepsTheSlave) {
  bench::Process p(*board, bridgeOptions());
  auto w = win.found();
  ASSERT_EQ(board->commands(), (std::vector<std::vector<std::string>>{{"xterm", "-Sxx3", "-T", "Console"}}));
  EXPECT_EQ(w["fd"], "3");
  EXPECT_EQ(w["open"], "yes");
  EXPECT_EQ(w["master"], "yes");
  EXPECT_EQ(w["slave-in-parent"], "yes");
  EXPECT_EQ(w["ppid"], std::to_string(p.pid()));

  // termbridge keeps the slave, non-blocking, has let go of the master, and reads its
  // standard input without waiting.
  const std::string slave = w["slave"];
  auto isMaster = [](const std::string& f) { return f == "/dev/ptmx" || f == "/dev/pts/ptmx"; };
  ASSERT_TRUE(waitFor(
      [&] {
        auto files = openFiles(p.pid());
        return std::find(files.begin(), files.end(), slave) != files.end() &&
               std::none_of(files.begin(), files.end(), isMaster);
      },
      2000))
      << "the bridge should hold " << slave << " and no master";
  int slaveFd = -1;
  for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(p.pid()) + "/fd"))
    if (fs::read_symlink(e.path()) == slave) slaveFd = std::stoi(e.path().filename());
  ASSERT_GE(slaveFd, 0);
  EXPECT_TRUE(waitFor([&] { return (fdFlags(p.pid(), slaveFd) & O_NONBLOCK) != 0; }, 1000));
  EXPECT_TRUE((fdFlags(p.pid(), 0) & O_NONBLOCK) != 0);
  EXPECT_TRUE(win.running());
  EXPECT_TRUE(p.running());
}

TEST_F(Termbridge, TakesNoArguments) {
  bench::Process p(*board, bridgeOptions({"termbridge", "-x", "--title", "Other"}));
  win.found();
  EXPECT_EQ(board->commands(), (std::vector<std::vector<std::string>>{{"xterm", "-Sxx3", "-T", "Console"}}));
  p.write("still a bridge\n");
  EXPECT_TRUE(win.waitShown("still a bridge\r\n"));
}

// --- standard input to the window ---

TEST_F(Termbridge, ALinePipedInIsShownInTheWindow) {
  bench::Process p(*board, bridgeOptions());
  win.found();
  p.write("hello window\n");
  ASSERT_TRUE(win.waitShown("hello window\r\n")) << win.shown();
  EXPECT_EQ(win.shown(), "hello window\r\n");  // the slave's line discipline adds the CR
  EXPECT_EQ(win.reads().size(), 1u);
}

namespace {

// The window stand-in is a process of its own: on a loaded machine it can be late enough
// to take two passes' bytes in one read, or to stretch a gap. Such a run tells nothing
// about the bridge, so a check of the passes gets three runs, and one must show them.
using Reads = std::vector<std::pair<std::int64_t, std::size_t>>;

void expectPasses(const std::string& input, const std::string& shown, const std::vector<std::size_t>& sizes) {
  std::string why;
  for (int attempt = 0; attempt < 3; ++attempt) {
    bench::ScratchBoard board;
    const Window win(board.get());
    bench::Process p(*board, bridgeOptions());
    win.found();
    const std::int64_t sent = bench::monotonicMicros();
    p.write(input);
    ASSERT_TRUE(win.waitShown(shown)) << win.shown();
    ASSERT_EQ(win.shown(), shown);  // what crosses is the same in every run
    const Reads r = win.reads();
    std::ostringstream seen;
    bool ok = r.size() == sizes.size();
    for (std::size_t i = 0; i < r.size(); ++i) {
      seen << " " << r[i].second;
      if (ok && r[i].second != sizes[i]) ok = false;
      // The first piece within a pass (50 ms) and the window's look (10 ms), 100 ms
      // allowed; then 50 ms per pass, 35 to 100 ms allowed.
      const auto gap = r[i].first - (i == 0 ? sent : r[i - 1].first);
      seen << " (+" << gap / 1000 << " ms)";
      if ((i > 0 && gap < 35000) || gap > 100000) ok = false;
    }
    if (ok) return;
    why += "\nrun " + std::to_string(attempt + 1) + ", reads of" + seen.str();
  }
  ADD_FAILURE() << "the window never saw the passes:" << why;
}

}  // namespace

TEST(TermbridgePasses, TwoLinesTogetherCrossInTwoPasses50msApart) {
  expectPasses("first line\nsecond line\n", "first line\r\nsecond line\r\n", {12, 13});
}

TEST(TermbridgePasses, ALongLineCrossesIn511AndTheRest) {
  std::string line;
  for (int i = 0; i < 600; ++i) line += static_cast<char>('a' + i % 26);
  // 511 characters, then the other 89 with the line end (CR LF), then the next line.
  expectPasses(line + "\nafter\n", line + "\r\nafter\r\n", {511, 89 + 2, 7});
}

// --- the window to standard output ---

TEST_F(Termbridge, LinesTypedInTheWindowReachStandardOutput) {
  bench::Process p(*board, bridgeOptions());
  win.found();
  win.type("typed in the window\r");
  ASSERT_TRUE(win.waitShown("typed in the window\r\n"));  // the slave echoes it, as a terminal does
  win.type("and one more\r");
  ASSERT_TRUE(win.waitShown("and one more\r\n"));
  ASSERT_TRUE(win.taken());
  EXPECT_TRUE(p.running());
  p.signal(SIGTERM);
  const auto r = p.wait();
  // A pipe takes our output in blocks: it comes out when the bridge ends.
  EXPECT_EQ(r.out, "typed in the window\nand one more\n");
  EXPECT_EQ(r.status, 128 + SIGTERM);
}

TEST_F(Termbridge, CtrlDInTheWindowDoesNotStopItsLines) {
  bench::Process p(*board, bridgeOptions());
  win.found();
  win.type("before\r");
  ASSERT_TRUE(win.waitShown("before\r\n"));
  win.type("\x04");  // the slave reads it as an end of file
  win.type("after\r");
  ASSERT_TRUE(win.waitShown("after\r\n"));
  ASSERT_TRUE(win.taken());
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait().out, "before\nafter\n");
}

TEST_F(Termbridge, EndOfInputDoesNotEndTheBridge) {
  bench::Process p(*board, bridgeOptions());
  win.found();
  p.write("last piped\n");
  p.closeInput();
  ASSERT_TRUE(win.waitShown("last piped\r\n"));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(p.running());
  EXPECT_TRUE(win.running());
  win.type("still typing\r");
  ASSERT_TRUE(win.waitShown("still typing\r\n"));
  ASSERT_TRUE(win.taken());
  p.signal(SIGTERM);
  const auto r = p.wait();
  EXPECT_EQ(r.out, "still typing\n");
  EXPECT_EQ(r.status, 128 + SIGTERM);
}

// --- both ways at once ---

namespace {

// Whether `all` holds each of `parts`, in this order.
bool inOrder(const std::string& all, const std::vector<std::string>& parts) {
  std::size_t at = 0;
  for (const auto& part : parts) {
    at = all.find(part, at);
    if (at == std::string::npos) return false;
    at += part.size();
  }
  return true;
}

}  // namespace

TEST_F(Termbridge, ALongWindowLineAndAPipedLineInTheNextPassLeaveBothWaysWorking) {
  bench::Process p(*board, bridgeOptions());
  win.found();
  std::string longLine;
  for (int i = 0; i < 600; ++i) longLine += static_cast<char>('a' + i % 26);
  // The window's 600 characters cross in two passes; the piped line goes in the second.
  win.type(longLine + "\r");
  ASSERT_TRUE(win.waitShown(longLine + "\r\n"));
  p.write("piped 0\n");
  std::vector<std::string> piped = {"piped 0\r\n"}, typed = {longLine + "\n"};
  for (int i = 1; i <= 20; ++i) {
    const std::string n = std::to_string(i);
    p.write("piped " + n + "\n");
    win.type("typed " + n + "\r");
    piped.push_back("piped " + n + "\r\n");
    typed.push_back("typed " + n + "\n");
  }
  ASSERT_TRUE(waitFor([&] { return inOrder(win.shown(), piped); }, 5000)) << win.shown();
  ASSERT_TRUE(win.waitShown("typed 20\r\n"));
  ASSERT_TRUE(win.taken());
  p.signal(SIGTERM);
  const auto r = p.wait();
  std::string all;
  for (const auto& t : typed) all += t;
  EXPECT_EQ(r.out, all);  // every typed line, in order
  EXPECT_EQ(r.status, 128 + SIGTERM);
}

TEST_F(Termbridge, CtrlDOnATerminalStandardInputDoesNotStopItsLines) {
  // Standard input is a terminal of the test's: it types on the master side.
  bench::Line keyboard;
  auto s = bridgeOptions({"sh", "-c", "exec termbridge < /dev/ttyS0"});
  s.lines["/dev/ttyS0"] = keyboard.slavePath();
  bench::Process p(*board, s);
  win.found();
  auto type = [&](const std::string& keys) {
    ASSERT_EQ(write(keyboard.master(), keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  };
  type("before\n");
  ASSERT_TRUE(win.waitShown("before\r\n"));
  type("\x04");  // an end of file, once
  std::this_thread::sleep_for(200ms);
  type("after\n");
  EXPECT_TRUE(win.waitShown("before\r\nafter\r\n")) << win.shown();
  type("\x04" "again\n");
  EXPECT_TRUE(win.waitShown("after\r\nagain\r\n")) << win.shown();
}

// --- the ways out ---

TEST(TermbridgeSignals, EndItThroughItsExitPathAndTheWindowGoes) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    SCOPED_TRACE(strsignal(sig));
    bench::ScratchBoard board;
    const Window win(board.get());
    bench::Process p(*board, bridgeOptions());
    win.found();
    ASSERT_TRUE(win.running());
    win.type("typed\r");
    ASSERT_TRUE(win.waitShown("typed\r\n"));
    ASSERT_TRUE(win.taken());
    const std::int64_t sent = bench::monotonicMicros();
    p.signal(sig);
    // Checked before the bench tears the run down, which would kill the window itself.
    EXPECT_TRUE(win.waitGone()) << "the window outlived the bridge";
    const auto r = p.wait();
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 128 + sig);
    EXPECT_EQ(r.out, "typed\n");         // buffered output is written out on the way
    EXPECT_LT(r.endUs - sent, 1000000);  // at once: within a pass, 1 s allowed
  }
}

TEST_F(Termbridge, TheWindowEndsWithTheBridgeWhateverEndsIt) {
  // SIGKILL leaves no exit path: the window asked for a signal of its own at its start.
  bench::Process p(*board, bridgeOptions());
  const pid_t bridge = std::stoi(win.found().at("ppid"));
  ASSERT_TRUE(win.running());
  kill(bridge, SIGKILL);
  EXPECT_TRUE(win.waitGone()) << "the window outlived the bridge";
  EXPECT_EQ(p.wait().signal, SIGKILL);
}

TEST_F(Termbridge, SigchldIgnoredByItsStarterIsSetBack) {
  // Ignored, the window would be reaped unseen and its number could name another process
  // by the time the bridge kills it.
  bench::Process p(*board, bridgeOptions({"env", "--ignore-signal=CHLD", "termbridge"}));
  const pid_t bridge = std::stoi(win.found().at("ppid"));
  std::ifstream status("/proc/" + std::to_string(bridge) + "/status");
  std::string ignored;
  for (std::string key; status >> key;)
    if (key == "SigIgn:") status >> ignored;
  ASSERT_FALSE(ignored.empty());
  EXPECT_EQ(std::stoull(ignored, nullptr, 16) & (1ull << (SIGCHLD - 1)), 0u) << ignored;
}

TEST_F(Termbridge, AClosedWindowEndsItWithStatus255) {
  bench::Process p(*board, bridgeOptions());
  win.found();
  win.type("last words\r");
  ASSERT_TRUE(win.waitShown("last words\r\n"));
  ASSERT_TRUE(win.taken());
  const std::int64_t closed = bench::monotonicMicros();
  win.close();
  const auto r = p.wait();
  EXPECT_EQ(r.out, "last words\nxterm: window closed\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_LT(r.endUs - closed, 1000000);  // within a pass or two, 1 s allowed
}

TEST_F(Termbridge, AKilledWindowEndsIt) {
  bench::Process p(*board, bridgeOptions());
  const pid_t xterm = std::stoi(win.found()["pid"]);
  ASSERT_GT(xterm, 0);
  const std::int64_t killed = bench::monotonicMicros();
  kill(xterm, SIGKILL);
  auto r = p.wait();
  campaign::expectSound(r);
  EXPECT_EQ(r.out, "xterm: window closed\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_LT(bench::msBetween(killed, r.endUs), 1000) << "within a pass or two";
}

TEST_F(Termbridge, WithoutXtermTheWindowProcessSaysWhyAndTheBridgeEnds) {
  auto s = bridgeOptions();
  s.files.clear();
  const auto r = bench::run(*board, s);
  EXPECT_EQ(r.out, "xterm: 2 - No such file or directory\nxterm: window closed\n");
  EXPECT_EQ(r.status, 255);
  campaign::expectSound(r);
  EXPECT_LT(r.seconds, 2.0);
}

TEST_F(Termbridge, AnXtermThatCannotRunGivesItsErrorNumber) {
  bench::TempDir tmp;
  const fs::path plain = tmp.path() / "xterm";
  std::ofstream(plain) << "not a program\n";
  fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
  auto s = bridgeOptions();
  s.files[bench::kXterm] = plain;
  const auto r = bench::run(*board, s);
  EXPECT_EQ(r.out, "xterm: 13 - Permission denied\nxterm: window closed\n");
  EXPECT_EQ(r.status, 255);
}

TEST_F(Termbridge, NoPseudoTerminalNoWindow) {
  auto s = bridgeOptions();
  s.maxOpenFiles = 4;  // room for the master, none for the slave
  const auto r = bench::run(*board, s);
  EXPECT_EQ(r.out, "openpty: 24 - Too many open files\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(board->commands().empty());
  EXPECT_FALSE(win.exists(window::kFound));
}

// The shell after termbridge: its standard input must be blocking again, whichever way
// the bridge ended.
TEST_F(Termbridge, StandardInputIsGivenBackBlocking) {
  const std::vector<std::string> shell = {"/bin/sh", "-c", "termbridge; stdinflags-probe"};
  {
    bench::Process p(*board, bridgeOptions(shell));
    const auto w = win.found();
    ASSERT_TRUE(waitFor([&] { return (fdFlags(std::stoi(w.at("ppid")), 0) & O_NONBLOCK) != 0; }, 2000));
    win.close();
    const auto r = p.wait();
    EXPECT_EQ(r.out, "xterm: window closed\nstdin blocking\n");
  }
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) {
    SCOPED_TRACE(strsignal(sig));
    bench::ScratchBoard other;
    const Window otherWin(other.get());
    bench::Process p(*other, bridgeOptions(shell));
    const pid_t bridge = std::stoi(otherWin.found().at("ppid"));
    ASSERT_TRUE(waitFor([&] { return (fdFlags(bridge, 0) & O_NONBLOCK) != 0; }, 2000));
    kill(bridge, sig);
    EXPECT_EQ(p.wait().out, "stdin blocking\n");
  }
  auto s = bridgeOptions(shell);
  s.files.clear();
  EXPECT_EQ(bench::run(*board, s).out, "xterm: 2 - No such file or directory\nxterm: window closed\nstdin blocking\n");
}

// --- Debian's xterm on a virtual X display ---

namespace {

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (access((fs::path(dir) / program).c_str(), X_OK) == 0) return true;
  return false;
}

// An X server of our own, on a display it picks free itself; stopped at the end.
class VirtualDisplay {
 public:
  explicit VirtualDisplay(const fs::path& dir) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const int target = fds[1] == 9 ? 10 : 9;  // dup2 onto another number clears close-on-exec
    const std::string log = (dir / "Xvfb.log").string(), fd = std::to_string(target);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], target);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args = {"Xvfb",     "-displayfd", fd,  "-nolisten", "tcp",
                                     "-noreset", "-screen",    "0", "800x600x24"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
      close(fds[0]);
      pid_ = -1;
      throw std::runtime_error("cannot start Xvfb");
    }
    // Xvfb writes the number of the display it picked.
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c = 0;
    while (poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) {
      stop();
      throw std::runtime_error("Xvfb gave no display: " + slurp(log));
    }
    display_ = ":" + number;
    // Clients can still be turned away just after that (seen with two servers starting
    // together): wait until one gets an answer.
    if (!waitFor([&] { return !client("xdotool getdisplaygeometry").empty(); }, 10000)) {
      stop();
      throw std::runtime_error("Xvfb on " + display_ + " does not answer: " + slurp(log));
    }
  }
  ~VirtualDisplay() { stop(); }
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  const std::string& name() const { return display_; }
  // Runs an X client's command line on this display; its standard output.
  std::string client(const std::string& command) const {
    const std::string line = "DISPLAY=" + display_ + " timeout 10 " + command + " 2>/dev/null";
    std::FILE* f = popen(line.c_str(), "r");
    if (!f) return {};
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    pclose(f);
    return out;
  }

 private:
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t pid_ = -1;
  std::string display_;
};

bool processGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pidField, name, state;
  return !(stat >> pidField >> name >> state) || state == "Z";
}

}  // namespace

class TermbridgeWithXterm : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* program : {"Xvfb", "xdotool", "xclip", "import", "identify"})
      if (!onPath(program))
        GTEST_SKIP() << program << " is missing (Debian packages xterm xvfb xfonts-base xdotool xclip imagemagick)";
    if (access("/usr/bin/xterm", X_OK) != 0) GTEST_SKIP() << "/usr/bin/xterm is missing (Debian package xterm)";
    x = std::make_unique<VirtualDisplay>(tmp.path());
    // xterm's own log of what reached it from the pseudo-terminal, that is what it shows.
    std::ofstream(resources) << "XTerm*logging: true\nXTerm*logFile: " << log.string() << "\n";
  }
  bench::RunOptions runOptions() const {
    bench::RunOptions s;
    s.argv = {"termbridge"};
    s.files[bench::kXterm] = "/usr/bin/xterm";
    s.env = {"DISPLAY=" + x->name(), "XENVIRONMENT=" + resources.string()};
    s.keepInputOpen = true;
    s.timeoutMs = 60000;
    return s;
  }
  bool logged(const std::string& needle, int ms = 5000) const {
    return waitFor([&] { return slurp(log).find(needle) != std::string::npos; }, ms);
  }
  // Waits for the window; its id, decimal as X clients take it. xterm, started this way,
  // first writes the id in hex to the pseudo-terminal, where the slave echoes it.
  std::string window() {
    std::string id;
    if (!waitFor([&] { return !(id = x->client("xdotool search --name '^Console$'")).empty(); }, 15000)) return {};
    id = id.substr(0, id.find('\n'));
    char text[32];
    std::snprintf(text, sizeof text, "%lx", std::stoul(id));
    hex = text;
    return logged(hex + "\r\n", 10000) ? id : std::string();
  }

  // Ends the run and gathers what each side said, for a failure's message.
  std::string stopAndTell(bench::Process& p) const {
    p.signal(SIGTERM);
    const auto r = p.wait();
    return "termbridge status " + std::to_string(r.status) + ", out: " + r.out + "\nerr: " + r.err +
           "\nxterm log: " + slurp(log) + "\nXvfb: " + slurp(tmp.path() / "Xvfb.log");
  }

  bench::TempDir tmp;
  const fs::path log = tmp.path() / "xterm.log", resources = tmp.path() / "xterm.resources";
  std::unique_ptr<VirtualDisplay> x;
  bench::ScratchBoard board;
  std::string hex;
};

TEST_F(TermbridgeWithXterm, TypedAndPipedLinesCrossAndSigtermClosesTheWindow) {
  bench::Process p(*board, runOptions());
  const std::string id = window();
  ASSERT_FALSE(id.empty()) << "no window titled Console, or it wrote no id\n" << stopAndTell(p);

  p.write("piped into the window\n");
  EXPECT_TRUE(logged("piped into the window\r\n")) << slurp(log);

  x->client("xdotool mousemove --window " + id + " 40 40");
  x->client("xdotool windowfocus --sync " + id);
  x->client("xdotool type --delay 20 'typed in the window'");
  x->client("xdotool key Return");
  EXPECT_TRUE(logged("typed in the window\r\n")) << slurp(log);

  // A screenshot of the whole display, as a person would take one.
  const fs::path shot = tmp.path() / "screen.png";
  x->client("import -window root " + shot.string());
  EXPECT_EQ(slurp(shot).substr(0, 4), "\x89PNG");
  EXPECT_EQ(x->client("identify -format %wx%h " + shot.string()), "800x600");

  // The text on the screen, read back as a selection dragged over the whole window; the
  // drag is made again while xterm has not caught up with it.
  std::string screen;
  EXPECT_TRUE(waitFor(
      [&] {
        x->client("xdotool mousemove --window " + id + " 1 1 mousedown 1 mousemove --window " + id +
                  " 240 150 mousemove --window " + id + " 480 300 mouseup 1");
        screen = x->client("xclip -o -selection primary");
        return screen.find("piped into the window\n") != std::string::npos &&
               screen.find("typed in the window\n") != std::string::npos;
      },
      10000))
      << screen;

  const std::string xtermPid = x->client("xdotool getwindowpid " + id);
  ASSERT_FALSE(xtermPid.empty()) << "xterm gave its window no pid";
  const pid_t xterm = std::stoi(xtermPid);
  ASSERT_TRUE(waitTaken(slaveOf(p.pid())));
  p.signal(SIGTERM);
  const auto r = p.wait();
  EXPECT_EQ(r.status, 128 + SIGTERM);
  EXPECT_EQ(r.out, hex + "\ntyped in the window\n");
  EXPECT_TRUE(waitFor([&] { return processGone(xterm); }, 3000)) << "xterm " << xterm << " outlived the bridge";
  EXPECT_TRUE(waitFor([&] { return x->client("xdotool search --name '^Console$'").empty(); }, 3000));
}

TEST_F(TermbridgeWithXterm, ClosingTheWindowEndsTheBridge) {
  bench::Process p(*board, runOptions());
  const std::string id = window();
  ASSERT_FALSE(id.empty()) << "no window titled Console, or it wrote no id\n" << stopAndTell(p);
  ASSERT_TRUE(waitTaken(slaveOf(p.pid())));
  x->client("xdotool windowkill " + id);  // as the window manager's close does it
  const auto r = p.wait();
  EXPECT_EQ(r.out, hex + "\nxterm: window closed\n");
  EXPECT_EQ(r.status, 255);
}
