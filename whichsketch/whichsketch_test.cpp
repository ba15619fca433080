#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <thread>

#include "bench.h"

namespace {

const char* const kHelp =
    "Arduino sketch veryfing\n"
    "Just output name if sketch has itsMe() function\n";

// A sketch on a line of its own, so that nothing of one case is left on the line for the next.
struct Sketch {
  explicit Sketch(std::vector<bench::Chunk> answer = {}, bool canonical = true) {
    line.setCanonical(canonical);
    if (!answer.empty()) peer.onLine("?", std::move(answer));
    peer.start();
  }
  Sketch(std::string answer, bool canonical = true) : Sketch(std::vector<bench::Chunk>{{0, std::move(answer)}}, canonical) {}
  bench::Line line;
  bench::SketchPeer peer{line};
};

class Whichsketch : public ::testing::Test {
 protected:
  bench::RunResult which(Sketch& sketch, std::vector<std::string> args = {}, bench::RunSpec runSpec = {}) {
    runSpec.lines["/dev/ttyS0"] = sketch.line.slavePath();
    return which(std::move(args), std::move(runSpec));
  }
  bench::RunResult which(std::vector<std::string> args, bench::RunSpec runSpec = {}) {
    args.insert(args.begin(), "whichsketch");
    runSpec.argv = std::move(args);
    return bench::run(*board, std::move(runSpec));
  }
  bench::ScratchBoard board;
};

// The line's mode, set before each run: the tool keeps whichever it finds.
class Modes : public Whichsketch, public ::testing::WithParamInterface<bool> {
 protected:
  bool canonical() const { return GetParam(); }
};

// At most n descriptors, the standard three included. A sanitizer build's leak check needs
// descriptors of its own at exit, so it is left out of such runs.
bench::RunSpec openFiles(int n) {
  bench::RunSpec runSpec;
  runSpec.maxOpenFiles = n;
  runSpec.env = {"ASAN_OPTIONS=detect_leaks=0"};
  return runSpec;
}

}  // namespace

TEST_P(Modes, PrintsTheNameLineAndOneMoreLineEnd) {
  Sketch crlf("LinkTest\r\n", canonical());
  auto r = which(crlf);
  EXPECT_EQ(r.out, "LinkTest\n\n");  // ICRNL ends the line at the carriage return
  EXPECT_EQ(r.status, 0);

  Sketch untranslated("LinkTest\r\n", canonical());
  termios t = untranslated.line.settings();
  t.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
  tcsetattr(untranslated.line.slave(), TCSANOW, &t);
  EXPECT_EQ(which(untranslated).out, "LinkTest\r\n\n");

  Sketch lf("LinkTest\nsecond line\n", canonical());
  r = which(lf, {"-hx", "more"});  // not the help: the query runs
  EXPECT_EQ(r.out, "LinkTest\n\n");
  EXPECT_EQ(r.status, 0);
}

TEST_P(Modes, LeavesTheLocalFlagsAsFound) {
  Sketch sketch("LinkTest\n", canonical());
  const termios before = sketch.line.settings();
  which(sketch);
  const termios after = sketch.line.settings();
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cc[VTIME], 10);
  EXPECT_EQ(after.c_cc[VMIN], 0);
  EXPECT_EQ(cfgetispeed(&after), B9600);
  EXPECT_EQ(cfgetospeed(&after), B9600);
}

TEST_P(Modes, NoAnswerIsReportedAndFailsAfter1s) {
  Sketch silent(std::vector<bench::Chunk>{}, canonical());
  auto r = which(silent);
  EXPECT_EQ(r.out, "NO replay\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_LT(r.seconds, 1.6);
  ASSERT_FALSE(r.outChunks.empty());
  const auto received = silent.peer.received();
  ASSERT_FALSE(received.empty());
  EXPECT_NEAR((r.outChunks.front().first - received.front().us) / 1e6, 1.0, 0.2);  // 1 s after the query
}

TEST_P(Modes, TakesWaitingInputAsTheAnswer) {
  Sketch sketch("LinkTest\n", canonical());
  sketch.peer.send("Old tail\n");
  for (int i = 0, n = 0; i < 100 && n == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ioctl(sketch.line.slave(), FIONREAD, &n);
  }
  EXPECT_EQ(which(sketch).out, "Old tail\n\n");
}

TEST_P(Modes, PrintsAtMost254Characters) {
  Sketch sketch(std::string(300, 'n') + "\n", canonical());
  auto r = which(sketch);
  EXPECT_EQ(r.out, std::string(254, 'n') + "\n");
  EXPECT_EQ(r.status, 0);
  Sketch fits(std::string(253, 'n') + "\n", canonical());
  EXPECT_EQ(which(fits).out, std::string(253, 'n') + "\n\n");
}

INSTANTIATE_TEST_SUITE_P(CanonicalAndNot, Modes, ::testing::Bool());

TEST_F(Whichsketch, NonCanonicalReadEndsAfter1sOfSilence) {
  Sketch cut({{0, "Link"}, {1500, "Test\n"}}, false);
  auto r = which(cut);
  EXPECT_EQ(r.out, "Link\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(r.seconds, 1.5);

  Sketch slow({{0, "Li"}, {500, "nk"}, {500, "Test\n"}}, false);  // gaps shorter than 1 s
  r = which(slow);
  EXPECT_EQ(r.out, "LinkTest\n\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Whichsketch, CanonicalModeShowsOnlyWholeLines) {
  // The line discipline holds the unfinished line back, so the tool sees no input at all.
  Sketch cut({{0, "Link"}, {1500, "Test\n"}}, true);
  auto r = which(cut);
  EXPECT_EQ(r.out, "NO replay\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_LT(r.seconds, 1.5);
}

TEST_F(Whichsketch, CanonicalEndOfFileIsNoAnswer) {
  Sketch eof("\x04");  // an end-of-file byte: the canonical read returns nothing at once
  auto r = which(eof);
  EXPECT_EQ(r.out, "NO replay\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_LT(r.seconds, 0.8);
  Sketch raw("\x04", false);  // just a byte when the line is not canonical
  EXPECT_EQ(which(raw).out, "\x04\n");
}

TEST_F(Whichsketch, SendsTheIdentityQueryAndNothingElse) {
  Sketch sketch("LinkTest\n");
  termios t = sketch.line.settings();
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(sketch.line.slave(), TCSANOW, &t);
  EXPECT_EQ(which(sketch).out, "LinkTest\n\n");
  EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");

  Sketch cooked("LinkTest\n");
  cooked.line.setEcho(false);
  which(cooked);
  EXPECT_EQ(cooked.peer.receivedBytes(), "?\r\n");
}

TEST_F(Whichsketch, HelpForTheWholeWordInEitherCase) {
  Sketch sketch("LinkTest\n");
  for (std::vector<std::string> args : {std::vector<std::string>{"-h"}, {"-H"}, {"-h", "more"}}) {
    auto r = which(sketch, args);
    EXPECT_EQ(r.out, kHelp);
    EXPECT_EQ(r.status, 0);
  }
  EXPECT_EQ(sketch.peer.receivedBytes(), "");
  EXPECT_EQ(which(sketch, {"--h"}).out, "LinkTest\n\n");
  EXPECT_EQ(which(sketch, {"other"}).out, "LinkTest\n\n");
}

TEST_F(Whichsketch, NoPortNoQuery) {
  auto r = which({});
  EXPECT_EQ(r.out, "Impossible to open serial port!");
  EXPECT_EQ(r.status, 255);

  // The port opens, but one or both of its two further opens do not.
  for (int files : {4, 5}) {
    SCOPED_TRACE(files);
    Sketch sketch("LinkTest\n");
    r = which(sketch, {}, openFiles(files));
    EXPECT_EQ(r.out, "Impossible to open serial port!");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(sketch.peer.receivedBytes(), "");
  }
}
