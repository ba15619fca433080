// The link module in this process, each row opened on a bench Line instead of the board's device;
// then what the serial tools take from it alike, each tool a process on the bench.
#include <gtest/gtest.h>

#include <algorithm>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "seriallink.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Sleeps and time-outs can only overrun: ending early is a fault, ending late by
// a little is the load of a shared or sanitized machine.
#define EXPECT_WAIT(actual, expected, early)                       \
  do {                                                             \
    const double waited = (actual);                                \
    EXPECT_GE(waited, (expected) - (early));                       \
    EXPECT_LE(waited, (expected) + std::max({double(early), 300.0, (expected) * 0.25})); \
  } while (0)

class Link : public ::testing::Test {
 protected:
  void open(const PortRow& row) {
    PortRow here = row;
    here.device = line.slavePath().c_str();
    init(here);
  }
  void TearDown() override {
    writer.join();
    if (serinp != nullptr) std::fclose(serinp);
    if (serout != nullptr) std::fclose(serout);
    if (fd >= 0) close(fd);
    serinp = serout = nullptr;
    fd = -1;
  }
  // The sketch's bytes, `ms` after now, from another thread.
  void sendLater(int ms, std::string bytes) {
    writer.join();
    writer = Joined{std::thread([this, ms, bytes] {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      send(bytes);
    })};
  }
  void send(const std::string& bytes) const {
    ASSERT_EQ(write(line.master(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the tool side wrote, as the far end reads it.
  std::string fromTool(int waitMs = 500) const {
    std::string got;
    pollfd p{line.master(), POLLIN, 0};
    while (poll(&p, 1, waitMs) > 0) {
      char b[256];
      const ssize_t n = read(line.master(), b, sizeof b);
      if (n <= 0) break;
      got.append(b, static_cast<std::size_t>(n));
      waitMs = 50;
    }
    return got;
  }
  int pendingOnLine() const {
    int n = -1;
    ioctl(line.slave(), FIONREAD, &n);
    return n;
  }

  struct Joined {
    std::thread t;
    void join() {
      if (t.joinable()) t.join();
    }
  };
  bench::Line line;
  Joined writer;
};

struct Expected {
  const char* program;
  const PortRow& row;
  const char* device;
  bool nonBlocking;
  speed_t speed;
  bool canonicalOff;
  cc_t vtime;
  int vmin;  // -1: as found
  bool reopened;
  std::size_t rbuff;
};

// The board's port table, one row per program.
const Expected kTable[] = {
    {"pinwait", ports::pinwait, "/dev/ttyAMA0", false, B9600, false, 0, 1, false, 255},
    {"cmdlistener", ports::cmdlistener, "/dev/ttyS0", true, B115200, false, 1, -1, true, 512},
    {"sketchcheck", ports::sketchcheck, "/dev/ttyS0", false, B9600, true, 1, 0, false, 512},
    {"sketchquery", ports::sketchquery, "/dev/ttyS0", false, B9600, true, 1, 0, false, 512},
    {"sketchqueryblock", ports::sketchqueryblock, "/dev/ttyS0", false, B9600, true, 1, 0, false, 512},
    {"whichsketch", ports::whichsketch, "/dev/ttyS0", false, B9600, false, 10, 0, true, 255},
};

// What every row clears, whatever the device held: the flags that would let the line change,
// add or act on a byte either way.
constexpr tcflag_t kInputCleared = ICRNL | INLCR | IGNCR | ISTRIP | IUCLC | IXON | IXOFF | IXANY | PARMRK;
constexpr tcflag_t kLocalCleared = ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ISIG | IEXTEN;

}  // namespace

TEST_F(Link, EachRowChangesExactlyItsSettings) {
  for (const Expected& e : kTable) {
    SCOPED_TRACE(e.program);
    EXPECT_STREQ(e.row.device, e.device);
    // Every flag on, as a device may hold them, to see which ones a row clears and which it leaves.
    termios found = line.settings();
    found.c_iflag |= kInputCleared | IGNBRK | BRKINT | INPCK | IMAXBEL | IUTF8;
    found.c_oflag |= OPOST | ONLCR | OCRNL | ONOCR | OLCUC;
    found.c_lflag |= kLocalCleared | ICANON | NOFLSH | TOSTOP;
    found.c_cc[VMIN] = 7;  // values no row writes, to see what is left alone
    found.c_cc[VTIME] = 3;
    cfsetspeed(&found, B38400);
    ASSERT_EQ(tcsetattr(line.slave(), TCSANOW, &found), 0);
    found = line.settings();

    open(e.row);
    const termios now = line.settings();
    EXPECT_EQ(cfgetispeed(&now), e.speed);
    EXPECT_EQ(cfgetospeed(&now), e.speed);
    EXPECT_EQ(baud, e.speed);
    const tcflag_t canonical = e.canonicalOff ? ICANON : 0;
    EXPECT_EQ(now.c_lflag, found.c_lflag & ~(kLocalCleared | canonical));
    EXPECT_EQ(now.c_iflag, found.c_iflag & ~kInputCleared);
    EXPECT_EQ(now.c_oflag, found.c_oflag & ~static_cast<tcflag_t>(OPOST));
    EXPECT_EQ(now.c_cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD), found.c_cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD));
    EXPECT_EQ(now.c_cc[VTIME], e.vtime);
    EXPECT_EQ(now.c_cc[VMIN], e.vmin < 0 ? 7 : e.vmin);
    // Canonical mode's editing and end-of-file characters act on nothing; the others are inert
    // with ISIG, IEXTEN and IXON off, and stay as found.
    for (int i : {VEOF, VEOL, VEOL2, VERASE, VKILL}) EXPECT_EQ(now.c_cc[i], _POSIX_VDISABLE) << i;
    for (int i : {VINTR, VQUIT, VSTART, VSTOP, VSUSP, VWERASE, VLNEXT, VREPRINT}) EXPECT_EQ(now.c_cc[i], found.c_cc[i]) << i;
    EXPECT_EQ(rbuff.size(), e.rbuff);

    const int flags = fcntl(fd, F_GETFL);
    EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
    EXPECT_EQ((flags & O_NONBLOCK) != 0, e.nonBlocking);
    // Each stream closes a descriptor of its own: shared ones are dups of fd (read-write like it),
    // reopened ones separate opens without O_NONBLOCK. None is handed to a program started later.
    const int in = fileno(serinp), out = fileno(serout);
    EXPECT_NE(in, fd);
    EXPECT_NE(out, fd);
    EXPECT_NE(in, out);
    EXPECT_EQ(fcntl(in, F_GETFL) & (O_ACCMODE | O_NONBLOCK), e.reopened ? O_RDONLY : flags & (O_ACCMODE | O_NONBLOCK));
    EXPECT_EQ(fcntl(out, F_GETFL) & (O_ACCMODE | O_NONBLOCK), e.reopened ? O_WRONLY : flags & (O_ACCMODE | O_NONBLOCK));
    for (int d : {fd, in, out}) EXPECT_EQ(fcntl(d, F_GETFD), FD_CLOEXEC) << d;
    TearDown();
  }
}

TEST_F(Link, StreamsCarryLinesBothWaysAndNothingElse) {
  for (const PortRow* row : {&ports::sketchcheck, &ports::whichsketch}) {
    open(*row);
    // Line buffered as any stream on a terminal: the line end sends it, no flush needed.
    std::fputs("?", serout);
    EXPECT_EQ(fromTool(150), "");
    std::fputs("\n", serout);
    EXPECT_EQ(fromTool(), "?\n");
    // Control bytes are data, and nothing goes back to the sketch.
    const std::string answer = "Li\x03nk\x13T\x7f\x15\x04\x11" "est\r\n";
    send(answer);
    char got[32] = {};
    ASSERT_NE(std::fgets(got, sizeof got, serinp), nullptr);
    EXPECT_EQ(std::string(got), answer);
    EXPECT_EQ(fromTool(100), "");
    std::fputs("after an XOFF\n", serout);
    EXPECT_EQ(fromTool(), "after an XOFF\n");
    TearDown();
  }
}

TEST_F(Link, ReadLineTakesACrLfEndAsOneLineEnd) {
  line.setCanonical(false);
  open(ports::sketchqueryblock);
  auto lineOf = [&](std::size_t max) {
    std::string got;
    readLine(serinp, got, max);
    return got;
  };
  send("LinkTest\r\nnext\n\r\rtwo\r\n\n");
  EXPECT_EQ(lineOf(100), "LinkTest\n");
  EXPECT_EQ(lineOf(100), "next\n");
  EXPECT_EQ(lineOf(100), "\r\rtwo\n");  // only the CR right before the LF is part of the line end
  EXPECT_EQ(lineOf(100), "\n");
  // A CR that fills the line still takes its LF; another byte after it stays for the next line.
  send("abcd\r\nabcd\rx\n");
  EXPECT_EQ(lineOf(5), "abcd\n");
  EXPECT_EQ(lineOf(5), "abcd\r");
  EXPECT_EQ(lineOf(5), "x\n");
  send("abcdefg\n");
  EXPECT_EQ(lineOf(5), "abcde");
  EXPECT_EQ(lineOf(5), "fg\n");
}

TEST_F(Link, ReadLineStopsAtTheEndOfInputOrWhenNotReady) {
  line.setCanonical(false);
  open(ports::sketchqueryblock);
  // A pause of 0.1 s ends the read (VTIME 1): the part stays, and its CR still meets its LF.
  send("Link\r");
  std::string got;
  EXPECT_FALSE(readLine(serinp, got, 100));
  EXPECT_EQ(got, "Link\r");
  std::clearerr(serinp);
  send("\n");
  EXPECT_TRUE(readLine(serinp, got, 100));
  EXPECT_EQ(got, "Link\n");

  got.clear();
  send("abc\n");
  int asked = 0;
  EXPECT_FALSE(readLine(serinp, got, 100, [&] { return ++asked <= 2; }));
  EXPECT_EQ(got, "ab");
  EXPECT_EQ(asked, 3);
}

TEST_F(Link, DiscardInputEndsAtATenthOfSilence) {
  open(ports::sketchquery);
  send("stale answer\r\n");
  auto t0 = Clock::now();
  discardInput();
  EXPECT_WAIT(msSince(t0), 100, 50);
  EXPECT_EQ(pendingOnLine(), 0);

  // A sketch that keeps talking keeps the discarding going.
  writer = Joined{std::thread([this] {
    for (int i = 0; i < 6; ++i) {
      send("chatter ");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  })};
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  t0 = Clock::now();
  discardInput();
  EXPECT_WAIT(msSince(t0), 250 + 100, 60);  // the last byte at about 250 ms
  EXPECT_EQ(pendingOnLine(), 0);
}

TEST_F(Link, DiscardInputEndsWithin1sAgainstASketchThatNeverPauses) {
  open(ports::sketchquery);
  writer = Joined{std::thread([this] {
    for (int i = 0; i < 100; ++i) {
      send("chatter ");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  })};
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const auto t0 = Clock::now();
  discardInput();
  EXPECT_WAIT(msSince(t0), 1000, 30);
}

TEST_F(Link, WaitInputPollsUpToItsLimit) {
  open(ports::sketchcheck);
  ASSERT_EQ(tries, 200);
  auto t0 = Clock::now();
  EXPECT_FALSE(waitInput(tries));
  EXPECT_WAIT(msSince(t0), 2050, 250);  // 200 steps of 10 ms
  t0 = Clock::now();
  EXPECT_FALSE(waitInput(5));
  EXPECT_WAIT(msSince(t0), 55, 30);

  sendLater(300, "L");
  t0 = Clock::now();
  EXPECT_TRUE(waitInput(tries));
  EXPECT_WAIT(msSince(t0), 305, 40);
  EXPECT_EQ(pendingOnLine(), 1);  // waiting takes nothing
}

TEST_F(Link, WaitInputWithoutLimitOutlastsTheBoundedWait) {
  open(ports::sketchqueryblock);
  sendLater(2600, "L");
  const auto t0 = Clock::now();
  EXPECT_TRUE(waitInput(0));
  EXPECT_WAIT(msSince(t0), 2605, 60);
}

TEST_F(Link, WaitReadableSeesWholeLinesInCanonicalMode) {
  open(ports::whichsketch);  // leaves the Line canonical
  send("Link");
  auto t0 = Clock::now();
  EXPECT_FALSE(waitReadable(200));
  EXPECT_WAIT(msSince(t0), 200, 40);
  sendLater(100, "Test\n");
  t0 = Clock::now();
  EXPECT_TRUE(waitReadable(1000));
  EXPECT_WAIT(msSince(t0), 100, 40);
}

TEST_F(Link, WaitReadableSeesEachByteInNonCanonicalMode) {
  line.setCanonical(false);
  open(ports::whichsketch);
  EXPECT_FALSE(waitReadable(100));
  sendLater(50, "L");
  EXPECT_TRUE(waitReadable(1000));
}

TEST_F(Link, SetSerialBlockSwitchesTheReadModeAndDropsUnreadInput) {
  line.setCanonical(false);
  open(ports::pinwait);
  send("leftover\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_GT(pendingOnLine(), 0);
  setSerialBlock(false);
  termios t = line.settings();
  EXPECT_EQ(t.c_cc[VTIME], 5);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_lflag & ICANON, 0u);
  EXPECT_EQ(pendingOnLine(), 0);

  char c;
  auto t0 = Clock::now();
  EXPECT_EQ(read(fd, &c, 1), 0);  // timed: nothing after 0.5 s
  EXPECT_WAIT(msSince(t0), 500, 80);

  setSerialBlock(true);
  t = line.settings();
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  sendLater(700, "x");
  t0 = Clock::now();
  EXPECT_EQ(read(fd, &c, 1), 1);  // blocking: past the timed limit, until the byte
  EXPECT_WAIT(msSince(t0), 700, 80);
}

TEST_F(Link, ASecondProgramWaits2sForTheDeviceThenCannotOpenIt) {
  // The first program: this process, holding the line's lock.
  const int first = ::open(line.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(first, 0);
  ASSERT_EQ(flock(first, LOCK_EX | LOCK_NB), 0);
  termios before = line.settings();
  const auto t0 = Clock::now();
  EXPECT_EXIT(
      {
        open(ports::sketchcheck);
        std::exit(0);
      },
      ::testing::ExitedWithCode(255), "");
  EXPECT_WAIT(msSince(t0), 2000, 50);
  EXPECT_EQ(line.settings().c_lflag, before.c_lflag) << "the second one changed the first one's settings";

  // Let go within the 2 s: the second one goes on.
  writer = Joined{std::thread([first] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    close(first);
  })};
  const auto t1 = Clock::now();
  open(ports::sketchcheck);
  EXPECT_WAIT(msSince(t1), 500, 50);
  EXPECT_EQ(line.settings().c_lflag & ICANON, 0u);
}

TEST_F(Link, CloseSerPausesFlushesAndClosesEveryDescriptor) {
  open(ports::pinwait);
  const int in = fileno(serinp), out = fileno(serout), own = fd;
  send("unread line\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_GT(pendingOnLine(), 0);
  const auto t0 = Clock::now();
  closeSer();
  EXPECT_WAIT(msSince(t0), 1000, 100);
  EXPECT_EQ(pendingOnLine(), 0);
  for (int d : {in, out, own}) EXPECT_EQ(fcntl(d, F_GETFD), -1) << d;
  // The device is free for the next program, the loader's upload among them.
  const int next = ::open(line.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_EQ(flock(next, LOCK_EX | LOCK_NB), 0);
  close(next);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(serinp, nullptr);
  EXPECT_EQ(serout, nullptr);
}

TEST(LinkWithoutDevice, InitEndsTheProcessWith255) {
  PortRow missing = ports::sketchcheck;
  missing.device = "/nonexistent/ttyS0";
  EXPECT_EXIT(init(missing), ::testing::ExitedWithCode(255), "");
}

// --- The tools over the link ---
// What the serial tools take from the module alike, one table for them all: each tool a
// process on the bench, its sketch mostly driven by hand on a raw line, where every byte
// value crosses unchanged.
class LinkedTools : public ::testing::Test {
 protected:
  // `argv` running on the sketch's line as `device`, while the case drives the sketch.
  std::unique_ptr<bench::Process> start(const bench::Sketch& sketch, std::vector<std::string> argv,
                                        const std::string& device = "/dev/ttyS0") {
    bench::RunOptions runOptions{.argv = std::move(argv)};
    runOptions.lines[device] = sketch.line.slavePath();
    return std::make_unique<bench::Process>(*board, std::move(runOptions));
  }
  bench::ScratchBoard board;
};

// Without the port, or with too few descriptors left for the port's streams, a query tool
// says it cannot open the port and ends with 255, having sent the sketch nothing.
TEST_F(LinkedTools, QueryToolsWithoutTheirPortSendNothing) {
  struct Case {
    std::vector<std::string> argv;
    std::vector<int> openFiles;  // limits at which the port opens but a stream of it cannot be made
  };
  for (const Case& c : {Case{{"sketchcheck", "LinkTest"}, {4}}, Case{{"sketchquery", "?"}, {4}},
                        Case{{"sketchqueryblock", "?"}, {4}}, Case{{"whichsketch"}, {4, 5}}}) {
    SCOPED_TRACE(c.argv[0]);
    auto r = bench::run(*board, {.argv = c.argv});
    EXPECT_EQ(r.out, "Impossible to open serial port!");
    EXPECT_EQ(r.status, 255);
    for (int files : c.openFiles) {
      SCOPED_TRACE(files);
      bench::Sketch sketch("LinkTest\r\n");
      bench::RunOptions runOptions = bench::openFiles(files);
      runOptions.argv = c.argv;
      runOptions.lines["/dev/ttyS0"] = sketch.line.slavePath();
      r = bench::run(*board, runOptions);
      EXPECT_EQ(r.out, "Impossible to open serial port!");
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(sketch.peer.receivedBytes(), "");
    }
  }
}

// The query tools drain input until 0.1 s of silence, for at most 1 s: a shorter flood holds
// back the request for as long as it lasts, and the request goes out once it stops.
TEST_F(LinkedTools, QueryToolsHoldTheRequestBackWhileAShortFloodLasts) {
  struct Case {
    const char* tool;
    std::string out;
    int status;
  };
  for (const Case& c : {Case{"sketchcheck", "NO\n", 1}, Case{"sketchquery", "LinkTest\n", 0},
                        Case{"sketchqueryblock", "LinkTest\n", 0}}) {
    SCOPED_TRACE(c.tool);
    bench::Sketch sketch(bench::kRaw);
    auto p = start(sketch, {c.tool, "?"});
    sketch.peer.flood("LinkTest\n", 800);
    EXPECT_EQ(sketch.peer.receivedBytes(), "") << "the request went out during the flood";
    ASSERT_TRUE(sketch.peer.waitReceived("?\n", 2000));
    sketch.peer.send("LinkTest\n");
    auto r = p->wait();
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
  }
}

// One program of the suite at a time on a line: while one holds it, the others wait 2 s
// for it, then give up with their "cannot open" line, having neither sent a byte nor changed
// a setting of the first one's. The first goes on undisturbed.
TEST_F(LinkedTools, AProgramThatFindsTheLineTakenGivesUpAfter2s) {
  bench::Sketch sketch(bench::kRaw);
  auto first = start(sketch, {"sketchqueryblock", "?"});
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  const termios before = sketch.line.settings();
  struct Case {
    std::vector<std::string> argv;
    std::string device, out;
  };
  const std::string cannot = "Impossible to open serial port!";
  const std::vector<Case> cases = {
      {{"sketchcheck", "LinkTest"}, "/dev/ttyS0", cannot},
      {{"sketchquery", "?"}, "/dev/ttyS0", cannot},
      {{"sketchqueryblock", "?"}, "/dev/ttyS0", cannot},
      {{"whichsketch"}, "/dev/ttyS0", cannot},
      {{"cmdlistener"}, "/dev/ttyS0",
       "Intercepting commands from serial port...\n  format: $$$Ardu command... 'lf'\n" + cannot},
      {{"pinwait", "-dig", "6", "1"}, "/dev/ttyAMA0", cannot},
  };
  std::vector<std::unique_ptr<bench::Process>> others;
  for (const Case& c : cases) others.push_back(start(sketch, c.argv, c.device));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].argv[0]);
    auto r = others[i]->wait();
    EXPECT_EQ(r.out, cases[i].out);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");
    EXPECT_GT(r.seconds, 1.95);
    EXPECT_LT(r.seconds, 2.6);
  }
  EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
  const termios after = sketch.line.settings();
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
  EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
  EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before));

  // The next one waits while the first finishes within the 2 s, then has the line.
  auto next = start(sketch, {"whichsketch"});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  sketch.peer.send("LinkTest\n");
  auto r = first->wait();
  EXPECT_EQ(r.out, "LinkTest\n");
  ASSERT_TRUE(sketch.peer.waitReceived("?\n?\n"));
  sketch.peer.send("Other\n");
  r = next->wait();
  EXPECT_EQ(r.out, "Other\n\n");
  EXPECT_EQ(r.status, 0);
}

// A sketch that vanishes mid-answer: what came is all the answer where the tool can read it,
// and the tool ends at the hang-up rather than after its bound. Gone before answering is no
// answer, though sketchcheck and sketchquery still wait their 2 s for a first byte.
TEST_F(LinkedTools, QueryToolsTakeWhatCameBeforeTheHangUp) {
  struct Case {
    std::vector<std::string> argv;
    bool canonical;  // whichsketch reads the line in the mode it finds
    std::string before, out;
    int status;
    bool waitsForAFirstByte;
  };
  const std::vector<Case> cases = {
      {{"sketchcheck", "Li"}, false, "Lin", "YES\n", 0, false},
      {{"sketchcheck", "LinkTest"}, false, "Lin", "NO\n", 1, false},
      {{"sketchcheck", "LinkTest"}, false, "", "NO\n", 1, true},
      {{"sketchquery", "?"}, false, "Lin", "Lin", 0, false},
      {{"sketchquery", "?"}, false, "", "", 0, true},
      {{"sketchqueryblock", "?"}, false, "Lin", "Lin", 0, false},
      {{"whichsketch"}, false, "Lin", "Lin\n", 0, false},
      {{"whichsketch"}, true, "Lin", "NO replay\n", 1, false},  // a part of a line is never readable in canonical mode
      {{"whichsketch"}, false, "", "NO replay\n", 1, false},
      {{"whichsketch"}, true, "", "NO replay\n", 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv[0] + (c.canonical ? ", canonical" : "") + ", gone after '" + c.before + "'");
    bench::Sketch sketch(bench::LineMode{.start = bench::LineStart::raw, .canonical = c.canonical});
    auto p = start(sketch, c.argv);
    ASSERT_TRUE(sketch.peer.waitReceived("\n"));
    if (!c.before.empty()) {
      sketch.peer.send(c.before);
      if (c.canonical)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      else
        ASSERT_TRUE(sketch.peer.waitConsumed());
    }
    const std::int64_t gone = bench::monotonicMicros();
    sketch.peer.hangUp();
    auto r = p->wait();
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
    const double ms = static_cast<double>(r.endUs - gone) / 1000;
    if (c.waitsForAFirstByte) {
      EXPECT_GT(ms, 1500) << "2 s for a first byte";
      EXPECT_LT(ms, 4000);
    } else {
      EXPECT_LT(ms, 500) << "it waited on a line that had hung up";
    }
  }
}
