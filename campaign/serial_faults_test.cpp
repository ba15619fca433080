// Serial peers that misbehave: NUL and non-ASCII bytes, endless lines, floods that never
// pause, and a sketch that vanishes mid-answer (the master closed, so the tool's side hangs
// up). Each tool must end or wait exactly as its documentation says, with its message where
// it fails; the comment above each group says what that is.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>

#include "bench.h"
#include "standins/mcuload-recorder.h"

namespace {

using campaign::expectSound;
using namespace std::string_literals;
using namespace std::chrono_literals;

const std::string kMissing =
    std::string("\nNo sketch ") + bench::kWaitSketch + ". Uploading...\n" + bench::loader::kProgram + " " + bench::kWaitSketch + "\n";

class SerialFaults : public ::testing::Test {
 protected:
  std::unique_ptr<bench::Process> start(const bench::Sketch& sketch, const std::string& device,
                                        std::vector<std::string> argv, int timeoutMs = 10000) {
    bench::RunOptions s;
    s.argv = std::move(argv);
    s.lines[device] = sketch.line.slavePath();
    s.timeoutMs = timeoutMs;
    bench::bindStandIn(s, bench::kLoader);
    return std::make_unique<bench::Process>(*board, s);
  }
  bench::ScratchBoard board;
};

// The far side is a sketch driven by hand, with no script. Its line starts raw, so every byte
// value crosses unchanged; canonical mode is turned on where a case asks for it.
const bench::LineMode kRaw{.start = bench::LineStart::raw};
const bench::LineMode kRawCanonical{.start = bench::LineStart::raw, .canonical = true};
bench::LineMode rawCanonicalIf(bool canonical) { return canonical ? kRawCanonical : kRaw; }

double msBetween(std::int64_t fromUs, std::int64_t toUs) { return static_cast<double>(toUs - fromUs) / 1000; }

const std::string kStart = "Intercepting commands from serial port...\n  format: $$$Ardu command... 'lf'\n";

// The settings of the line behind `path`, as the tools left them.
termios settingsOf(const std::string& path) {
  termios t{};
  const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  return t;
}

// --- sketchcheck ---
// Documented: drains input until 0.1 s of silence, sends "?\n", waits at most 2 s for a first
// byte, then reads byte by byte until 0.1 s of silence, a read that yields
// nothing (as after a hang-up) or 511 bytes. The text ends at its first NUL; it is compared with
// the name over the name's length, ASCII letters without regard to case, other bytes as they
// are. "YES" and 0, else "NO" and 1 (also when nothing came).

struct Check {
  std::string answer, name, out;
};

TEST_F(SerialFaults, SketchcheckTakesNulAsTheEndAndOtherBytesAsTheyAre) {
  const std::vector<Check> cases = {
      {"Link\0Test\n"s, "Link", "YES\n"},
      {"Link\0Test\n"s, "LinkTest", "NO\n"},
      {"Li\xc3\xb1k\xff\n", "LI\xc3\xb1K\xff", "YES\n"},
      {"Li\xc3\xb1k\xff\n", "LI\xc3\x91K", "NO\n"},  // no case for bytes beyond ASCII
      {"\x01\x02\x7f\x80\xfe\n", "\x01\x02\x7f\x80\xfe", "YES\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bench::Sketch sketch(kRaw);
    auto p = start(sketch, "/dev/ttyS0", {"sketchcheck", c.name});
    ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
    sketch.peer.send(c.answer);
    auto r = p->wait();
    expectSound(r);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.out == "YES\n" ? 0 : 1);
  }
}

// An endless line is cut at 511 bytes: the tool answers while the line still runs.
TEST_F(SerialFaults, SketchcheckStopsAnEndlessLineAt511Bytes) {
  bench::Sketch sketch(kRaw);
  auto p = start(sketch, "/dev/ttyS0", {"sketchcheck", "0123456789012"});
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  sketch.peer.flood("0123456789", 1000);
  const std::int64_t floodEnd = bench::monotonicMicros();
  auto r = p->wait();
  expectSound(r);
  EXPECT_EQ(r.out, "YES\n");
  EXPECT_LT(campaign::lastOutputUs(r), floodEnd - 300000) << "it waited for the line to end";
}

// The three query tools drain input until 0.1 s of silence, for at most 1 s: a shorter flood
// holds back the request for as long as it lasts, and the request goes out once it stops.
TEST_F(SerialFaults, QueryToolsHoldTheRequestBackWhileAShortFloodLasts) {
  for (const char* tool : {"sketchcheck", "sketchquery", "sketchqueryblock"}) {
    SCOPED_TRACE(tool);
    bench::Sketch sketch(kRaw);
    auto p = start(sketch, "/dev/ttyS0", {tool, "?"});
    sketch.peer.flood("LinkTest\n", 800);
    EXPECT_EQ(sketch.peer.receivedBytes(), "") << "the request went out during the flood";
    ASSERT_TRUE(sketch.peer.waitReceived("?\n", 2000));
    sketch.peer.send("LinkTest\n");
    auto r = p->wait();
    expectSound(r);
    EXPECT_EQ(r.out, std::string(tool) == "sketchcheck" ? "NO\n" : "LinkTest\n");
    EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
  }
}

// A flood that never stops: the request goes out after 1 s of it, and each tool ends as it
// would with a sketch that answers at once and talks on: sketchcheck after 511 bytes,
// sketchqueryblock after a line, sketchquery after 10 s of copying, with the cut said.
TEST_F(SerialFaults, QueryToolsEndAgainstAFloodThatNeverStops) {
  struct Case {
    const char* tool;
    double endS;      // after the start: the second of discarding, then the tool's own part
    std::string out;  // all it prints, or for sketchquery how its copy begins
  };
  for (const Case& c : {Case{"sketchcheck", 1.0, "NO\n"}, Case{"sketchqueryblock", 1.0, "LinkTest\n"},
                        Case{"sketchquery", 11.0, "LinkTest\nLinkTest\n"}}) {
    SCOPED_TRACE(c.tool);
    bench::Sketch sketch(kRaw);
    auto p = start(sketch, "/dev/ttyS0", {c.tool, "?"}, 20000);
    const std::int64_t from = bench::monotonicMicros();
    std::int64_t askedUs = -1;
    while (p->running() && bench::monotonicMicros() - from < 15'000'000) {
      sketch.peer.flood("LinkTest\n", 20);
      if (askedUs < 0 && sketch.peer.receivedBytes().find("?\n") != std::string::npos) askedUs = bench::monotonicMicros();
    }
    auto r = p->wait();
    expectSound(r);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
    ASSERT_GT(askedUs, 0);
    EXPECT_GT(msBetween(r.startUs, askedUs), 950);
    EXPECT_LT(msBetween(r.startUs, askedUs), 1350);
    EXPECT_GT(msBetween(r.startUs, r.endUs), c.endS * 1000 - 50);
    EXPECT_LT(msBetween(r.startUs, r.endUs), c.endS * 1000 + 400);
    if (std::string(c.tool) == "sketchquery") {
      EXPECT_TRUE(r.out.starts_with(c.out)) << r.out.substr(0, 40);
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(r.err, "sketchquery: answer cut: still coming after 10 s\n");
    } else {
      EXPECT_EQ(r.out, c.out);
    }
  }
}

// One program of the suite at a time on a line: while one holds it, the others wait 2 s
// for it, then give up with their "cannot open" line, having neither sent a byte nor changed
// a setting of the first one's. The first goes on undisturbed.
TEST_F(SerialFaults, AProgramThatFindsTheLineTakenGivesUpAfter2s) {
  bench::Sketch sketch(kRaw);
  auto first = start(sketch, "/dev/ttyS0", {"sketchqueryblock", "?"});
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  const termios before = settingsOf(sketch.line.slavePath());
  struct Case {
    std::string device;
    std::vector<std::string> argv;
    std::string out;
  };
  const std::string cannot = "Impossible to open serial port!";
  const std::vector<Case> cases = {
      {"/dev/ttyS0", {"sketchcheck", "LinkTest"}, cannot},
      {"/dev/ttyS0", {"sketchquery", "?"}, cannot},
      {"/dev/ttyS0", {"sketchqueryblock", "?"}, cannot},
      {"/dev/ttyS0", {"whichsketch"}, cannot},
      {"/dev/ttyS0", {"cmdlistener"}, kStart + cannot},
      {"/dev/ttyAMA0", {"pinwait", "-dig", "6", "1"}, cannot},
  };
  std::vector<std::unique_ptr<bench::Process>> others;
  for (const Case& c : cases) others.push_back(start(sketch, c.device, c.argv));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].argv[0]);
    auto r = others[i]->wait();
    expectSound(r);
    EXPECT_EQ(r.out, cases[i].out);
    EXPECT_EQ(r.status, 255);
    EXPECT_GT(r.seconds, 1.95);
    EXPECT_LT(r.seconds, 2.6);
  }
  EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
  const termios after = settingsOf(sketch.line.slavePath());
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
  EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
  EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before));

  // The next one waits while the first finishes within the 2 s, then has the line.
  auto next = start(sketch, "/dev/ttyS0", {"whichsketch"});
  std::this_thread::sleep_for(500ms);
  sketch.peer.send("LinkTest\n");
  auto r = first->wait();
  EXPECT_EQ(r.out, "LinkTest\n");
  ASSERT_TRUE(sketch.peer.waitReceived("?\n?\n"));
  sketch.peer.send("Other\n");
  r = next->wait();
  EXPECT_EQ(r.out, "Other\n\n");
  EXPECT_EQ(r.status, 0);
}

// A sketch that vanishes mid-answer: what came is all the answer, and the tool ends at once
// rather than after its bound; one that vanishes before answering is no answer, after the 2 s wait.
TEST_F(SerialFaults, BoundedQueryToolsTakeWhatCameBeforeTheHangUp) {
  struct Case {
    const char* tool;
    const char* word;
    const char* out;
  };
  for (const Case& c :
       {Case{"sketchcheck", "Li", "YES\n"}, Case{"sketchcheck", "LinkTest", "NO\n"}, Case{"sketchquery", "?", "Lin"}}) {
    SCOPED_TRACE(std::string(c.tool) + " " + c.word);
    bench::Sketch sketch(kRaw);
    auto p = start(sketch, "/dev/ttyS0", {c.tool, c.word});
    ASSERT_TRUE(sketch.peer.waitReceived("\n"));
    sketch.peer.send("Lin");
    ASSERT_TRUE(sketch.peer.waitConsumed());
    const std::int64_t gone = bench::monotonicMicros();
    sketch.peer.hangUp();
    auto r = p->wait();
    expectSound(r);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, std::string(c.out) == "NO\n" ? 1 : 0);
    EXPECT_LT(msBetween(gone, r.endUs), 1000) << "it waited on a line that had hung up";
  }
  for (const char* tool : {"sketchcheck", "sketchquery"}) {
    SCOPED_TRACE(tool);
    bench::Sketch sketch(kRaw);
    auto p = start(sketch, "/dev/ttyS0", {tool, "LinkTest"});
    ASSERT_TRUE(sketch.peer.waitReceived("\n"));
    const std::int64_t gone = bench::monotonicMicros();
    sketch.peer.hangUp();
    auto r = p->wait();
    expectSound(r);
    EXPECT_EQ(r.out, std::string(tool) == "sketchcheck" ? "NO\n" : "");
    EXPECT_EQ(r.status, std::string(tool) == "sketchcheck" ? 1 : 0);
    EXPECT_GT(msBetween(gone, r.endUs), 1500) << "2 s for a first byte";
    EXPECT_LT(msBetween(gone, r.endUs), 4000);
  }
}

// --- sketchquery ---
// Documented: after its request it copies every byte that arrives, unchanged, to standard
// output, until a read yields nothing (0.1 s of silence, or the hang-up); status 0.

TEST_F(SerialFaults, SketchqueryCopiesEveryByteValue) {
  std::string answer;
  for (int c = 0; c <= 255; ++c) answer += static_cast<char>(c);
  bench::Sketch sketch(kRaw);
  auto p = start(sketch, "/dev/ttyS0", {"sketchquery", "?"});
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  sketch.peer.send(answer);
  auto r = p->wait();
  expectSound(r);
  EXPECT_EQ(r.out, answer);
  EXPECT_EQ(r.status, 0);
}

// An answer that never pauses is copied whole for as long as it lasts, then the copy ends
// 0.1 s after the last byte.
TEST_F(SerialFaults, SketchqueryCopiesAFloodUntilItStops) {
  bench::Sketch sketch(kRaw);
  auto p = start(sketch, "/dev/ttyS0", {"sketchquery", "?"});
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  const std::string sent = sketch.peer.flood("abcdefghi\n", 700);
  const std::int64_t floodEnd = bench::monotonicMicros();
  auto r = p->wait();
  expectSound(r);
  EXPECT_EQ(r.out.size(), sent.size());
  EXPECT_TRUE(r.out == sent) << "the flood came out changed";
  EXPECT_GE(msBetween(floodEnd, r.endUs), 50) << "it must wait out 0.1 s of silence";
  EXPECT_LT(msBetween(floodEnd, r.endUs), 600);
}

// --- sketchqueryblock ---
// Documented: after its request it waits without limit for a first byte, reads one line of at
// most 510 characters (less at a read that yields nothing, or that fails as at a hang-up: the
// link counts a failed read like an empty one) and prints it with "%s", so the text ends at its
// first NUL; status 0. With no answer it waits for ever: only a signal ends it.

TEST_F(SerialFaults, SketchqueryblockPrintsTheLineUpToItsFirstNul) {
  bench::Sketch sketch(kRaw);
  auto p = start(sketch, "/dev/ttyS0", {"sketchqueryblock", "?"});
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  sketch.peer.send("Li\xc3\xb1k\xff\x01\0tail\n"s);
  auto r = p->wait();
  expectSound(r);
  EXPECT_EQ(r.out, "Li\xc3\xb1k\xff\x01");
  EXPECT_EQ(r.status, 0);
}

TEST_F(SerialFaults, SketchqueryblockCutsAnEndlessLineAt510) {
  bench::Sketch sketch(kRaw);
  auto p = start(sketch, "/dev/ttyS0", {"sketchqueryblock", "?"});
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  const std::string sent = sketch.peer.flood("0123456789", 1000);
  const std::int64_t floodEnd = bench::monotonicMicros();
  auto r = p->wait();
  expectSound(r);
  EXPECT_EQ(r.out, sent.substr(0, 510));
  EXPECT_LT(campaign::lastOutputUs(r), floodEnd - 300000) << "it waited for the line to end";
}

TEST_F(SerialFaults, SketchqueryblockPrintsWhatCameBeforeTheHangUpOrWaitsOn) {
  {
    bench::Sketch sketch(kRaw);
    auto p = start(sketch, "/dev/ttyS0", {"sketchqueryblock", "?"});
    ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
    sketch.peer.send("Lin");
    ASSERT_TRUE(sketch.peer.waitConsumed());
    sketch.peer.hangUp();
    auto r = p->wait();
    expectSound(r);
    EXPECT_EQ(r.out, "Lin");
    EXPECT_EQ(r.status, 0);
  }
  // Gone before its first byte: a blocking query has no time-out, so it waits on.
  bench::Sketch sketch(kRaw);
  auto p = start(sketch, "/dev/ttyS0", {"sketchqueryblock", "?"});
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  sketch.peer.hangUp();
  std::this_thread::sleep_for(1000ms);
  EXPECT_TRUE(p->running());
  p->signal(SIGTERM);
  auto r = p->wait();
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

// --- whichsketch ---
// Documented: sends "?\n" and reads one line of at most 254 characters, each byte awaited for
// at most 1 s, in canonical mode too (where bytes become readable only as whole lines); prints
// the text with "%s\n", so it ends at its first NUL, status 0. Nothing read: "NO replay", status 1.

TEST_F(SerialFaults, WhichsketchPrintsTheLineUpToItsFirstNul) {
  bench::Sketch sketch(kRaw);
  auto p = start(sketch, "/dev/ttyS0", {"whichsketch"});
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  sketch.peer.send("Li\xc3\xb1k\xff\x01\0tail\n"s);
  auto r = p->wait();
  expectSound(r);
  EXPECT_EQ(r.out, "Li\xc3\xb1k\xff\x01\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(SerialFaults, WhichsketchCutsAnEndlessLineAt254OrGivesUpOnIt) {
  {
    bench::Sketch sketch(kRaw);
    auto p = start(sketch, "/dev/ttyS0", {"whichsketch"});
    ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
    const std::string sent = sketch.peer.flood("0123456789", 1000);
    const std::int64_t floodEnd = bench::monotonicMicros();
    auto r = p->wait();
    expectSound(r);
    EXPECT_EQ(r.out, sent.substr(0, 254) + "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(campaign::lastOutputUs(r), floodEnd - 300000);
  }
  // In canonical mode a line that never ends is never readable: 1 s, and no answer.
  bench::Sketch sketch(kRawCanonical);
  auto p = start(sketch, "/dev/ttyS0", {"whichsketch"});
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  const std::int64_t asked = bench::monotonicMicros();
  sketch.peer.flood("0123456789", 1800);
  auto r = p->wait();
  expectSound(r);
  EXPECT_EQ(r.out, "NO replay\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_GT(msBetween(asked, campaign::lastOutputUs(r)), 900);
  EXPECT_LT(msBetween(asked, campaign::lastOutputUs(r)), 1500);
}

TEST_F(SerialFaults, WhichsketchTakesWhatCameBeforeTheHangUp) {
  struct Case {
    bool canonical;
    std::string before, out;
    int status;
  };
  const std::vector<Case> cases = {
      {false, "Lin", "Lin\n", 0},
      {true, "Lin", "NO replay\n", 1},  // a part of a line is never readable in canonical mode
      {false, "", "NO replay\n", 1},
      {true, "", "NO replay\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((c.canonical ? "canonical, " : "non-canonical, ") + c.before);
    bench::Sketch sketch(rawCanonicalIf(c.canonical));
    auto p = start(sketch, "/dev/ttyS0", {"whichsketch"});
    ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
    if (!c.before.empty()) {
      sketch.peer.send(c.before);
      if (c.canonical)
        std::this_thread::sleep_for(100ms);
      else
        ASSERT_TRUE(sketch.peer.waitConsumed());
    }
    const std::int64_t gone = bench::monotonicMicros();
    sketch.peer.hangUp();
    auto r = p->wait();
    expectSound(r);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_LT(msBetween(gone, r.endUs), 500) << "the hang-up ends the wait";
  }
}

// --- pinwait ---
// Documented: sends "?\n" and gives the identity line 0.5 s (in canonical mode too). A line of
// at most 254 characters whose first 10 are not "WaitSketch" (a NUL ends the text), or none,
// takes the missing-sketch path: the announcement, a pause of 1 s, the port closed, the loader
// run, status 254. Otherwise it sends its command and waits without limit for one line of at
// most 254 characters, read through the stream's buffer (bytes it already holds stay there):
// one that begins with "OK" is success, any other, or none at a hang-up, gives the
// transmission report and status 255.

TEST_F(SerialFaults, PinwaitIdentityEndsAtItsFirstNul) {
  {
    bench::Sketch sketch(kRaw);
    auto p = start(sketch, "/dev/ttyAMA0", {"pinwait", "-dig", "6", "1"});
    ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
    sketch.peer.send("Wait\0Sketch\n"s);
    auto r = p->wait();
    expectSound(r);
    EXPECT_EQ(r.out, kMissing);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(sketch.peer.receivedBytes(), "?\n");
  }
  bench::Sketch sketch(kRaw);
  auto p = start(sketch, "/dev/ttyAMA0", {"pinwait", "-dig", "6", "1"});
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  sketch.peer.send("WaitSketch\0\xff\xfe\n"s);
  ASSERT_TRUE(sketch.peer.waitReceived("INTD6=1\n"));
  sketch.peer.send("OK\xff\n");
  auto r = p->wait();
  expectSound(r);
  EXPECT_EQ(r.out, "OK Pin changed!\n");
  EXPECT_EQ(r.status, 0);
}

// A flood of other bytes from the start is a wrong name: the missing-sketch path.
TEST_F(SerialFaults, PinwaitTakesAFloodForAnotherSketch) {
  bench::Sketch sketch(kRaw);
  auto p = start(sketch, "/dev/ttyAMA0", {"pinwait", "-dig", "6", "1"});
  sketch.peer.flood("NONONONONO", 1500);
  auto r = p->wait();
  expectSound(r);
  EXPECT_EQ(r.out, kMissing);
  EXPECT_EQ(r.status, 254);
}

// An identity line that never ends is judged on its first 254 characters; what the stream took
// beyond them is read as the wait's answer, so the endless rest is reported, not waited for.
// An endless wait answer beginning with "OK" is success at once.
TEST_F(SerialFaults, PinwaitJudgesEndlessLinesOnTheirFirst254Characters) {
  {
    bench::Sketch sketch(kRaw);
    auto p = start(sketch, "/dev/ttyAMA0", {"pinwait", "-dig", "6", "1"});
    ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
    sketch.peer.send("WaitSketch");
    sketch.peer.flood("xxxxxxxxxx", 1000);
    auto r = p->wait();
    expectSound(r);
    EXPECT_EQ(r.out, "NO Error on transmission!\nSent    : INTD6=1\nReceived: " + std::string(254, 'x') + "\n");
    EXPECT_EQ(r.status, 255);
  }
  bench::Sketch sketch(kRaw);
  auto p = start(sketch, "/dev/ttyAMA0", {"pinwait", "-ana", "2", "lt", "200"});
  ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
  sketch.peer.send("WaitSketch\n");
  ASSERT_TRUE(sketch.peer.waitReceived("INTA2<200\n"));
  sketch.peer.flood("OKOKOKOKOK", 1000);
  const std::int64_t floodEnd = bench::monotonicMicros();
  auto r = p->wait();
  expectSound(r);
  EXPECT_EQ(r.out, "OK value reached!\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(campaign::lastOutputUs(r), floodEnd - 300000) << "it waited for the line to end";
}

TEST_F(SerialFaults, PinwaitReportsASketchThatVanishes) {
  // Before the identity answer: no answer, the missing-sketch path.
  {
    bench::Sketch sketch(kRaw);
    auto p = start(sketch, "/dev/ttyAMA0", {"pinwait", "-dig", "6", "1"});
    ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
    sketch.peer.hangUp();
    auto r = p->wait();
    expectSound(r);
    EXPECT_EQ(r.out, kMissing);
    EXPECT_EQ(r.status, 254);
  }
  // Before the wait's answer, or mid-way through it: the read fails and so returns nothing,
  // whatever part of a line came; the report and its status say what happened.
  for (const std::string before : {"O", ""}) {
    SCOPED_TRACE(before);
    bench::Sketch sketch(kRaw);
    auto p = start(sketch, "/dev/ttyAMA0", {"pinwait", "-dig", "6", "1"});
    ASSERT_TRUE(sketch.peer.waitReceived("?\n"));
    sketch.peer.send("WaitSketch\n");
    ASSERT_TRUE(sketch.peer.waitReceived("INTD6=1\n"));
    if (!before.empty()) {
      sketch.peer.send(before);
      ASSERT_TRUE(sketch.peer.waitConsumed());
    }
    const std::int64_t gone = bench::monotonicMicros();
    sketch.peer.hangUp();
    auto r = p->wait();
    expectSound(r);
    EXPECT_EQ(r.out, "NO Error on transmission!\nSent    : INTD6=1\nReceived: \n");
    EXPECT_EQ(r.status, 255);
    EXPECT_LT(msBetween(gone, r.endUs), 500) << "the hang-up ends the wait";
  }
}

// --- cmdlistener ---
// Documented: reads lines of at most 511 bytes (a longer one comes as several), acts on lines
// whose first 8 bytes are a keyword and ignores all others; the command text is a C string,
// so it ends at its first NUL. It ends with status 0 on "$$$Cend ", and with a line beginning
// "NO" and status 255 when the device hangs up or goes.

TEST_F(SerialFaults, CmdlistenerRunsACommandOnlyUpToItsFirstNul) {
  bench::Sketch sketch(kRaw);  // non-canonical: in canonical mode the terminal may take a NUL for a line end
  auto p = start(sketch, "/dev/ttyS0", {"cmdlistener"});
  ASSERT_TRUE(campaign::waitOpened(p->pid(), sketch.line.slavePath(), 3));
  sketch.peer.send("$$$Ardu echo a\0; touch /dev/vboard/pwned-nul\n"s);
  ASSERT_TRUE(sketch.peer.waitReceived("OK\n"));
  sketch.peer.send("$$$Resp \n");
  ASSERT_TRUE(sketch.peer.waitReceived("OK\na\n"));
  sketch.peer.send("\0$$$Cend \n"s);  // no keyword: ignored
  sketch.peer.send("$$$Ardu echo \xc3\xa9\xff\x01\n$$$Resp \n");
  ASSERT_TRUE(sketch.peer.waitReceived("OK\na\nOK\n\xc3\xa9\xff\x01\n"));
  sketch.peer.send("$$$Cend \n");
  auto r = p->wait();
  expectSound(r);
  EXPECT_EQ(r.out,
            kStart +
                "<Command>\ncommand: echo a> OK\n<GetAnswer\na\n<Command>\ncommand: echo \xc3\xa9\xff\x01\n> OK\n"
                "<GetAnswer\n\xc3\xa9\xff\x01\n<End>\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(std::filesystem::exists(board->dir() / "pwned-nul")) << "the text after the NUL ran";
}

// A line that never ends is read in pieces (or, in canonical mode, held by the terminal) and
// acted on nowhere; the keyword line after it still works.
TEST_F(SerialFaults, CmdlistenerIgnoresAnEndlessLine) {
  for (bool canonical : {true, false}) {
    SCOPED_TRACE(canonical ? "canonical" : "non-canonical");
    bench::Sketch sketch(rawCanonicalIf(canonical));
    auto p = start(sketch, "/dev/ttyS0", {"cmdlistener"});
    ASSERT_TRUE(campaign::waitOpened(p->pid(), sketch.line.slavePath(), 3));
    sketch.peer.flood("xxxxxxxxxx", 600);
    sketch.peer.send("\n$$$Cend \n");
    auto r = p->wait();
    expectSound(r);
    EXPECT_EQ(r.out, kStart + "<End>\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sketch.peer.receivedBytes(), "");
  }
}

// A flood of requests that never pauses is answered line for line: 2000 "$$$Resp " lines
// without a command get 2000 lone line feeds.
TEST_F(SerialFaults, CmdlistenerAnswersAFloodLineForLine) {
  bench::Sketch sketch(kRawCanonical);
  auto p = start(sketch, "/dev/ttyS0", {"cmdlistener"});
  ASSERT_TRUE(campaign::waitOpened(p->pid(), sketch.line.slavePath(), 3));
  std::string requests;
  for (int i = 0; i < 100; ++i) requests += "$$$Resp \n";
  for (int i = 0; i < 20; ++i) sketch.peer.send(requests);
  sketch.peer.send("$$$Cend \n");
  auto r = p->wait();
  expectSound(r);
  std::string console = kStart;
  for (int i = 0; i < 2000; ++i) console += "<GetAnswer\n>\n";
  EXPECT_TRUE(r.out == console + "<End>\n") << r.out.size() << " bytes on the console";
  EXPECT_TRUE(sketch.peer.waitReceived(std::string(2000, '\n')));
  EXPECT_EQ(sketch.peer.receivedBytes(), std::string(2000, '\n'));
  EXPECT_EQ(r.status, 0);
}

TEST_F(SerialFaults, CmdlistenerEndsWithNoWhenTheSketchVanishes) {
  const std::string lost = "NO serial port /dev/ttyS0 lost: hang-up\n";
  {
    bench::Sketch sketch(kRawCanonical);
    auto p = start(sketch, "/dev/ttyS0", {"cmdlistener"});
    ASSERT_TRUE(campaign::waitOpened(p->pid(), sketch.line.slavePath(), 3));
    sketch.peer.hangUp();
    auto r = p->wait();
    expectSound(r);
    EXPECT_EQ(r.out, kStart + lost);
    EXPECT_EQ(r.status, 255);
  }
  // Mid-way through relaying a long output: the relay runs out into nothing, then the end.
  bench::Sketch sketch(kRawCanonical);
  auto p = start(sketch, "/dev/ttyS0", {"cmdlistener"});
  ASSERT_TRUE(campaign::waitOpened(p->pid(), sketch.line.slavePath(), 3));
  sketch.peer.send("$$$Ardu seq 1 100000\n");
  ASSERT_TRUE(sketch.peer.waitReceived("OK\n"));
  sketch.peer.send("$$$Resp \n");
  ASSERT_TRUE(sketch.peer.waitReceived("\n1000\n"));
  sketch.peer.stop();  // reads no more, so the relay is held mid-way until the hang-up
  const std::int64_t gone = bench::monotonicMicros();
  sketch.peer.hangUp();
  auto r = p->wait();
  expectSound(r);
  EXPECT_TRUE(r.out.ends_with("99999\n100000\n" + lost)) << r.out.substr(r.out.size() > 200 ? r.out.size() - 200 : 0);
  EXPECT_EQ(r.status, 255);
  EXPECT_LT(msBetween(gone, r.endUs), 3000);
}

}  // namespace
