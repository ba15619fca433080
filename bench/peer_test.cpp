// The serial line and the scripted sketch, driven from the slave side as a tool would.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bench.h"

namespace {

using bench::Chunk;
using bench::Line;
using bench::monotonicMicros;
using bench::sleepMs;
using bench::SketchPeer;

// Timing bounds: never early; late by at most this on a shared, loaded machine (sanitizers included).
constexpr std::int64_t kSlackUs = 150000;

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    ASSERT_GT(n, 0) << "write: " << errno;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}

// One read, as a tool makes it: in canonical mode that is one line.
std::string readOnce(int fd, int timeoutMs = 2000) {
  if (!readable(fd, timeoutMs)) return "<nothing>";
  std::string buf(4096, '\0');
  const ssize_t n = read(fd, buf.data(), buf.size());
  return n > 0 ? buf.substr(0, static_cast<std::size_t>(n)) : "<read failed>";
}

struct Arrival {
  std::int64_t us;
  std::string bytes;
};

// Reads until `count` bytes came or the time is up.
std::vector<Arrival> readArrivals(int fd, std::size_t count, int timeoutMs = 5000) {
  std::vector<Arrival> got;
  std::size_t total = 0;
  const std::int64_t end = monotonicMicros() + std::int64_t{timeoutMs} * 1000;
  std::string buf(1 << 16, '\0');
  while (total < count) {
    const std::int64_t left = (end - monotonicMicros()) / 1000;
    if (left <= 0 || !readable(fd, static_cast<int>(left))) break;
    const ssize_t n = read(fd, buf.data(), std::min(buf.size(), count - total));
    if (n <= 0) break;
    got.push_back({monotonicMicros(), buf.substr(0, static_cast<std::size_t>(n))});
    total += static_cast<std::size_t>(n);
  }
  return got;
}

std::string readBytes(int fd, std::size_t count, int timeoutMs = 5000) {
  std::string all;
  for (const auto& a : readArrivals(fd, count, timeoutMs)) all += a.bytes;
  return all;
}

// Reads until `needle` has come.
std::string readUntil(int fd, const std::string& needle, int timeoutMs = 3000) {
  std::string all;
  const std::int64_t end = monotonicMicros() + std::int64_t{timeoutMs} * 1000;
  while (all.find(needle) == std::string::npos) {
    const std::int64_t left = (end - monotonicMicros()) / 1000;
    if (left <= 0 || !readable(fd, static_cast<int>(left))) break;
    all += readOnce(fd, 0);
  }
  return all;
}

// When the byte at `offset` of the concatenated arrivals came.
std::int64_t arrivalOf(const std::vector<Arrival>& arrivals, std::size_t offset) {
  for (const auto& a : arrivals) {
    if (offset < a.bytes.size()) return a.us;
    offset -= a.bytes.size();
  }
  return -1;
}

// ---------------------------------------------------------------------------------------------
// The line

TEST(Line, IsAPseudoTerminalWithTheTtyDefaults) {
  Line line;
  EXPECT_EQ(line.slavePath().rfind("/dev/pts/", 0), 0u) << line.slavePath();
  EXPECT_EQ(line.slavePath(), ttyname(line.slave()));
  struct stat byPath {}, byFd {};
  ASSERT_EQ(stat(line.slavePath().c_str(), &byPath), 0);
  ASSERT_EQ(fstat(line.slave(), &byFd), 0);
  EXPECT_EQ(byPath.st_rdev, byFd.st_rdev);
  EXPECT_TRUE(isatty(line.master()));

  const termios t = line.settings();
  EXPECT_TRUE(t.c_lflag & ICANON);
  EXPECT_TRUE(t.c_lflag & ECHO);
  EXPECT_TRUE(t.c_iflag & ICRNL);
  EXPECT_TRUE(t.c_oflag & OPOST);
  EXPECT_TRUE(t.c_oflag & ONLCR);
  // The tools run from the bench must not inherit the bench's side of the line.
  EXPECT_TRUE(fcntl(line.master(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(line.slave(), F_GETFD) & FD_CLOEXEC);
}

TEST(Line, SetCanonicalSetEchoAndSetCrToNlChangeOnlyTheirFlag) {
  Line line;
  const termios before = line.settings();
  line.setCanonical(false);
  termios t = line.settings();
  EXPECT_EQ(t.c_lflag, before.c_lflag & ~ICANON);
  EXPECT_EQ(t.c_iflag, before.c_iflag);
  EXPECT_EQ(t.c_oflag, before.c_oflag);
  line.setEcho(false);
  t = line.settings();
  EXPECT_EQ(t.c_lflag, before.c_lflag & ~(ICANON | ECHO));
  line.setCrToNl(false);
  t = line.settings();
  EXPECT_EQ(t.c_iflag, before.c_iflag & ~ICRNL);
  EXPECT_EQ(t.c_lflag, before.c_lflag & ~(ICANON | ECHO));
  line.setCanonical(true);
  line.setEcho(true);
  line.setCrToNl(true);
  t = line.settings();
  EXPECT_EQ(t.c_lflag, before.c_lflag);
  EXPECT_EQ(t.c_iflag, before.c_iflag);
  EXPECT_EQ(t.c_cflag, before.c_cflag);
}

TEST(Line, PlainClearsEchoAndOutputProcessingAlone) {
  Line line;
  const termios before = line.settings();
  line.setPlain();
  const termios t = line.settings();
  EXPECT_EQ(t.c_lflag, before.c_lflag & ~ECHO);
  EXPECT_EQ(t.c_oflag, before.c_oflag & ~OPOST);
  EXPECT_EQ(t.c_iflag, before.c_iflag) << "the tool's input is mapped as before";
  EXPECT_EQ(t.c_cflag, before.c_cflag);

  // The peer reads the tool's bytes as written, and nothing of its own comes back to it.
  const int fd = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  writeAll(fd, "?\n");
  EXPECT_EQ(readBytes(line.master(), 2, 1000), "?\n");
  writeAll(line.master(), "LinkTest\n");
  EXPECT_EQ(readBytes(fd, 9, 1000), "LinkTest\n");
  EXPECT_FALSE(readable(line.master(), 100)) << "no echo";
  close(fd);
}

TEST(Line, RawIsCfmakeraw) {
  Line line;
  termios want = line.settings();
  cfmakeraw(&want);
  line.setRaw();
  const termios t = line.settings();
  EXPECT_EQ(t.c_iflag, want.c_iflag);
  EXPECT_EQ(t.c_oflag, want.c_oflag);
  EXPECT_EQ(t.c_lflag, want.c_lflag);
  EXPECT_EQ(t.c_cflag, want.c_cflag);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(t.c_iflag & (ICRNL | IXON));
}

TEST(Line, HangUpEndsTheToolsSideAndKeepsTheSlave) {
  Line line;
  line.setRaw();
  const int fd = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  line.hangUp();
  EXPECT_EQ(line.master(), -1);
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  char c = 0;
  EXPECT_LE(read(fd, &c, 1), 0) << "a tool reads the end of its line";
  close(fd);
  line.hangUp();  // once is enough: the second does nothing
  EXPECT_NE(fcntl(line.slave(), F_GETFD), -1) << "the bench's own descriptor of the slave stays open";
}

TEST(Line, SettingsAndPendingInputOutliveEachOpenOfTheSlave) {
  Line line;
  // A first run sets the line raw and ends.
  int fd = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  cfmakeraw(&t);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
  close(fd);
  EXPECT_FALSE(line.settings().c_lflag & ICANON);
  EXPECT_FALSE(line.settings().c_lflag & ECHO);

  // Bytes the sketch sends between runs wait for the next one.
  writeAll(line.master(), "left over\n");
  sleepMs(50);
  fd = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(readBytes(fd, 10), "left over\n");
  close(fd);
}

// ---------------------------------------------------------------------------------------------
// Answers

TEST(SketchPeerAnswers, CrLfAnswerInCanonicalModeIsALineAndAnEmptyLine) {
  Line line;
  SketchPeer peer(line);
  peer.onLine("PING", "PONG\r\n");
  peer.start();
  writeAll(line.slave(), "PING\n");
  // ICRNL turns the CR into a line end of its own.
  EXPECT_EQ(readOnce(line.slave()), "PONG\n");
  EXPECT_EQ(readOnce(line.slave()), "\n");
  EXPECT_FALSE(readable(line.slave(), 200));
}

TEST(SketchPeerAnswers, CrLfAnswerWithIcanonOffComesAsItArrives) {
  Line line;
  line.setCanonical(false);
  SketchPeer peer(line);
  peer.onLine("PING", "PONG\r\n");
  peer.start();
  writeAll(line.slave(), "PING\n");
  EXPECT_EQ(readBytes(line.slave(), 6), "PONG\n\n");  // ICRNL still applies
  EXPECT_FALSE(readable(line.slave(), 200));
}

TEST(SketchPeerAnswers, CrLfAnswerOnARawLineIsUntouched) {
  Line line;
  line.setRaw();
  SketchPeer peer(line);
  peer.onLine("PING", "PONG\r\n");
  peer.start();
  writeAll(line.slave(), "PING\r\n");
  EXPECT_EQ(readBytes(line.slave(), 6), "PONG\r\n");
}

TEST(SketchPeerAnswers, ToolLinesMatchWhateverLineEndTheyCarry) {
  Line line;
  SketchPeer peer(line);
  peer.onLine("A", "1\n").onLine("B", "2\n").onLine("C", "3\n");
  peer.start();
  writeAll(line.slave(), "A\n");  // ONLCR: "A\r\n" on the line
  EXPECT_EQ(readOnce(line.slave()), "1\n");
  writeAll(line.slave(), "B\r\n");  // "B\r\r\n"
  EXPECT_EQ(readOnce(line.slave()), "2\n");
  writeAll(line.slave(), "C\r");  // no line end yet
  EXPECT_FALSE(readable(line.slave(), 200));
  writeAll(line.slave(), "\n");
  EXPECT_EQ(readOnce(line.slave()), "3\n");
}

TEST(SketchPeerAnswers, LinesAreFoundAcrossAndWithinWrites) {
  Line line;
  line.setCanonical(false);
  SketchPeer peer(line);
  peer.onLine("PING", "pong\n");
  peer.start();
  writeAll(line.slave(), "PI");
  sleepMs(50);
  writeAll(line.slave(), "NG\n");
  EXPECT_EQ(readBytes(line.slave(), 5), "pong\n");
  writeAll(line.slave(), "x\nPING\nPING\ny\n");
  EXPECT_EQ(readBytes(line.slave(), 10), "pong\npong\n");
  EXPECT_EQ(peer.sentTimes().size(), 3u);
}

TEST(SketchPeerAnswers, LineMatchingNoRuleGetsNothing) {
  Line line;
  SketchPeer peer(line);
  peer.onLine("PING", "PONG\n");
  peer.start();
  writeAll(line.slave(), "PINGX\nPIN\n PING\nping\nPING \n\n");
  ASSERT_TRUE(peer.waitReceived("PING \r\n\r\n", 2000));
  EXPECT_FALSE(readable(line.slave(), 300));
  EXPECT_TRUE(peer.sentTimes().empty());
  writeAll(line.slave(), "PING\n");  // the peer is listening all the same
  EXPECT_EQ(readOnce(line.slave()), "PONG\n");
}

TEST(SketchPeerAnswers, TheFirstRuleForALineAnswers) {
  Line line;
  SketchPeer peer(line);
  peer.onLine("Q", "first\n").onLine("Q", "second\n");
  peer.start();
  writeAll(line.slave(), "Q\n");
  EXPECT_EQ(readOnce(line.slave()), "first\n");
  EXPECT_FALSE(readable(line.slave(), 200));
}

TEST(SketchPeerAnswers, MegabyteAnswerArrivesWholeAndInOrder) {
  Line line;
  line.setRaw();
  std::string big(1 << 20, '\0');
  std::mt19937 random(7);
  for (char& c : big) c = static_cast<char>(random());
  SketchPeer peer(line);
  peer.onLine("BIG", big).onLine("MID", "tail");
  peer.start();
  writeAll(line.slave(), "BIG\n");
  std::string got = readBytes(line.slave(), 1 << 16);
  ASSERT_EQ(got.size(), 1u << 16);

  // Most of the answer is still waiting to go out; the peer reads on meanwhile, and what it
  // answers now follows the big answer.
  writeAll(line.slave(), "MID\n");
  EXPECT_TRUE(peer.waitReceived("MID\n", 5000));
  EXPECT_EQ(peer.sentTimes().size(), 1u);

  got += readBytes(line.slave(), big.size() + 4 - got.size(), 30000);
  ASSERT_EQ(got.size(), big.size() + 4);
  EXPECT_TRUE(got.compare(0, big.size(), big) == 0)
      << "first difference at " << std::mismatch(big.begin(), big.end(), got.begin()).first - big.begin();
  EXPECT_EQ(got.substr(big.size()), "tail");
  EXPECT_EQ(peer.sentTimes().size(), 2u);
}

// ---------------------------------------------------------------------------------------------
// Timing

TEST(SketchPeerTiming, DelayedAnswerComesAfterItsDelay) {
  Line line;
  SketchPeer peer(line);
  peer.onLine("PING", "PONG\n", 300);
  peer.start();
  const std::int64_t asked = monotonicMicros();
  writeAll(line.slave(), "PING\n");
  EXPECT_FALSE(readable(line.slave(), 250));
  EXPECT_EQ(readOnce(line.slave()), "PONG\n");
  const std::int64_t answered = monotonicMicros();
  EXPECT_GE(answered - asked, 300000);
  EXPECT_LT(answered - asked, 300000 + kSlackUs);
  const auto sent = peer.sentTimes();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_GE(sent[0] - asked, 300000);
  EXPECT_LE(sent[0], answered);
}

TEST(SketchPeerTiming, ChunksArePacedByTheirDelays) {
  Line line;
  line.setCanonical(false);
  SketchPeer peer(line);
  peer.onLine("GO", std::vector<Chunk>{{0, "AB"}, {200, "CD"}, {300, "EF\n"}});
  peer.start();
  const std::int64_t asked = monotonicMicros();
  writeAll(line.slave(), "GO\n");
  const auto arrivals = readArrivals(line.slave(), 7);
  std::string all;
  for (const auto& a : arrivals) all += a.bytes;
  ASSERT_EQ(all, "ABCDEF\n");

  EXPECT_LT(arrivalOf(arrivals, 0) - asked, kSlackUs);
  EXPECT_GE(arrivalOf(arrivals, 2) - asked, 200000);
  EXPECT_LT(arrivalOf(arrivals, 2) - asked, 200000 + kSlackUs);
  EXPECT_GE(arrivalOf(arrivals, 4) - asked, 500000);
  EXPECT_LT(arrivalOf(arrivals, 4) - asked, 500000 + kSlackUs);
  EXPECT_EQ(arrivalOf(arrivals, 0), arrivalOf(arrivals, 1));  // a chunk comes whole

  const auto sent = peer.sentTimes();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_GE(sent[1] - sent[0], 200000);
  EXPECT_LT(sent[1] - sent[0], 200000 + kSlackUs);
  EXPECT_GE(sent[2] - sent[1], 300000);
  EXPECT_LT(sent[2] - sent[1], 300000 + kSlackUs);
}

TEST(SketchPeerTiming, SendAtCountsFromStart) {
  Line line;
  SketchPeer peer(line);
  peer.sendAt(250, "LATE\n").sendAt(100, "EARLY\n");
  peer.start();
  const std::int64_t start = peer.startUs();
  EXPECT_EQ(readOnce(line.slave()), "EARLY\n");
  const std::int64_t early = monotonicMicros();
  peer.sendAt(400, "LATEST\n");  // after start: still counted from start
  EXPECT_EQ(readOnce(line.slave()), "LATE\n");
  const std::int64_t late = monotonicMicros();
  EXPECT_EQ(readOnce(line.slave()), "LATEST\n");
  const std::int64_t latest = monotonicMicros();

  EXPECT_GE(early - start, 100000);
  EXPECT_LT(early - start, 100000 + kSlackUs);
  EXPECT_GE(late - start, 250000);
  EXPECT_LT(late - start, 250000 + kSlackUs);
  EXPECT_GE(latest - start, 400000);
  EXPECT_LT(latest - start, 400000 + kSlackUs);
  const auto sent = peer.sentTimes();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_GE(sent[0] - start, 100000);
  EXPECT_GE(sent[1] - start, 250000);
  EXPECT_GE(sent[2] - start, 400000);
}

// ---------------------------------------------------------------------------------------------
// The record

TEST(SketchPeerRecord, HoldsWhatTheToolWroteWithItsTimes) {
  Line line;
  SketchPeer peer(line);
  peer.start();
  const std::int64_t first = monotonicMicros();
  writeAll(line.slave(), "one\n");
  ASSERT_TRUE(peer.waitReceived("one\r\n", 2000));
  sleepMs(150);
  const std::int64_t second = monotonicMicros();
  writeAll(line.slave(), "two\n");
  ASSERT_TRUE(peer.waitReceived("two\r\n", 2000));

  EXPECT_EQ(peer.receivedBytes(), "one\r\ntwo\r\n");
  const auto record = peer.received();
  std::vector<Arrival> arrivals;
  std::string all;
  for (const auto& r : record) {
    arrivals.push_back({r.us, r.bytes});
    all += r.bytes;
  }
  EXPECT_EQ(all, "one\r\ntwo\r\n");
  for (std::size_t i = 0; i < record.size(); ++i) EXPECT_GE(record[i].us, peer.startUs());
  for (std::size_t i = 1; i < record.size(); ++i) EXPECT_GE(record[i].us, record[i - 1].us);
  EXPECT_GE(arrivalOf(arrivals, 0), first);
  EXPECT_LT(arrivalOf(arrivals, 0) - first, kSlackUs);
  EXPECT_GE(arrivalOf(arrivals, 5), second);
  EXPECT_LT(arrivalOf(arrivals, 5) - second, kSlackUs);
}

// ---------------------------------------------------------------------------------------------
// Echo

TEST(SketchPeerEcho, WhatThePeerSendsComesBackWhileEchoIsOn) {
  Line line;
  SketchPeer peer(line);
  peer.start();
  peer.send("hello\n");
  EXPECT_EQ(readOnce(line.slave()), "hello\n");
  ASSERT_TRUE(peer.waitReceived("hello\r\n", 2000));
  sleepMs(100);
  EXPECT_EQ(peer.receivedBytes(), "hello\r\n");

  line.setEcho(false);
  peer.send("quiet\n");
  EXPECT_EQ(readOnce(line.slave()), "quiet\n");
  sleepMs(200);
  EXPECT_EQ(peer.receivedBytes(), "hello\r\n");
}

TEST(SketchPeerEcho, TheEchoOfAnAnswerDoesNotTriggerARule) {
  Line line;
  SketchPeer peer(line);
  peer.onLine("PING", "PING\r\n");  // would answer itself for ever if it heard its echo
  peer.start();
  writeAll(line.slave(), "PING\n");
  EXPECT_EQ(readOnce(line.slave()), "PING\n");
  EXPECT_EQ(readOnce(line.slave()), "\n");
  EXPECT_FALSE(readable(line.slave(), 300));
  EXPECT_EQ(peer.sentTimes().size(), 1u);
  EXPECT_EQ(peer.receivedBytes(), "PING\r\nPING\r\n\r\n");  // the tool's line, then the echo
}

struct Unfinished {
  bool canonical;
  std::string sent;  // by the peer, not ended by a line end
  std::string echo;  // as the slave echoes it
};

void PrintTo(const Unfinished& u, std::ostream* os) {
  *os << (u.canonical ? "canonical, " : "non-canonical, ") << testing::PrintToString(u.sent);
}

class SketchPeerUnfinishedEcho : public testing::TestWithParam<Unfinished> {};

TEST_P(SketchPeerUnfinishedEcho, DoesNotJoinTheToolsNextLine) {
  const Unfinished& u = GetParam();
  Line line;
  line.setCanonical(u.canonical);
  SketchPeer peer(line);
  peer.onLine("PING", "PONG\n");
  peer.start();
  peer.send(u.sent);
  ASSERT_TRUE(peer.waitReceived(u.echo, 2000)) << "echo seen: " << peer.receivedBytes();
  writeAll(line.slave(), "PING\n");
  const std::string got = readUntil(line.slave(), "PONG");
  EXPECT_NE(got.find("PONG"), std::string::npos) << got;
  ASSERT_TRUE(peer.waitReceived("PONG", 2000));
  EXPECT_EQ(peer.receivedBytes().rfind(u.echo, 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Echoes, SketchPeerUnfinishedEcho,
    testing::Values(Unfinished{true, "abc", "abc"}, Unfinished{false, "abc", "abc"},
                    Unfinished{true, "x\ty\x01", "x\ty^A"}, Unfinished{false, "q\nr\x7f", "q^Jr^?"},
                    Unfinished{true, "ab\r", "ab\r\n"}, Unfinished{false, "ab\rc", "ab\r\nc"},
                    Unfinished{true, "PING", "PING"}));

// The slave takes about 4 KiB of input; the rest, and its echo, waits until the tool reads.
TEST(SketchPeerEcho, AnEchoHeldBackByTheSlaveDoesNotHideTheToolsLines) {
  Line line;
  line.setCanonical(false);
  SketchPeer peer(line);
  peer.onLine("PING", "PONG\n");
  peer.start();
  const std::string flood(10000, 'a');
  peer.send(flood);
  ASSERT_TRUE(peer.waitReceived(std::string(4000, 'a'), 2000));
  writeAll(line.slave(), "PING\n");  // cuts into the echo
  ASSERT_TRUE(peer.waitReceived("PING\r\n", 2000));
  EXPECT_EQ(readBytes(line.slave(), flood.size() + 5), flood + "PONG\n");
  writeAll(line.slave(), "PING\n");
  EXPECT_EQ(readBytes(line.slave(), 5), "PONG\n");
  EXPECT_EQ(peer.sentTimes().size(), 3u);
}

TEST(SketchPeerEcho, AnEchoThatNeverComesIsGivenUp) {
  Line line;
  line.setCanonical(false);
  SketchPeer peer(line);
  peer.onLine("PING", "PONG\n");
  peer.start();
  peer.send(std::string(10000, 'P'));
  ASSERT_TRUE(peer.waitReceived(std::string(4000, 'P'), 2000));
  ASSERT_EQ(tcflush(line.slave(), TCIFLUSH), 0);  // what the slave held back is gone, echo and all
  sleepMs(1200);  // the peer waits a second for an echo
  writeAll(line.slave(), "PING\n");  // its P would be taken for the lost echo's next byte
  EXPECT_EQ(readBytes(line.slave(), 5), "PONG\n");
}

// ---------------------------------------------------------------------------------------------
// The strict sketch

TEST(SketchPeerStrict, AnswersEachLineEndAsCrLfOnce) {
  Line line;
  line.setRaw();
  SketchPeer peer(line);
  peer.onLine("?", std::vector<Chunk>{{0, "Link"}, {0, "Test\n"}, {0, "two\r"}, {0, "\nthree\r\n"}}).strict();
  peer.start();
  writeAll(line.slave(), "?\n");
  EXPECT_EQ(readBytes(line.slave(), 22), "LinkTest\r\ntwo\r\nthree\r\n");
  EXPECT_FALSE(readable(line.slave(), 200));
  EXPECT_EQ(peer.protocolErrors(), std::vector<std::string>{});
}

TEST(SketchPeerStrict, EveryByteOutsideTheExpectedLinesIsAnError) {
  Line line;
  line.setRaw();
  SketchPeer peer(line);
  peer.onLine("?", "LinkTest\n").onLine("quiet", "").strict();
  peer.start();
  // A CR before the line end, a line no rule names, control bytes, and a line left open.
  writeAll(line.slave(), "?\r\nquiet\nother\n\x03\x7f\n?\nhalf");
  EXPECT_EQ(readBytes(line.slave(), 10), "LinkTest\r\n");  // to the one line that matched
  ASSERT_TRUE(peer.waitReceived("half", 2000));
  EXPECT_EQ(peer.protocolErrors(), (std::vector<std::string>{"unexpected line \"?\\r\\n\"", "unexpected line \"other\\n\"",
                                                             "unexpected line \"\\x03\\x7f\\n\"",
                                                             "unfinished line \"half\""}));
  EXPECT_FALSE(readable(line.slave(), 200));
}

TEST(SketchPeerStrict, AnEchoIsAnError) {
  Line line;  // the tty's defaults: LF sent as CR LF, and what the sketch sends echoed
  SketchPeer peer(line);
  peer.onLine("?", "LinkTest\n").strict();
  peer.start();
  writeAll(line.slave(), "?\n");
  ASSERT_TRUE(peer.waitReceived("?\r\n", 2000));
  peer.send("LinkTest\r\n");
  EXPECT_EQ(readOnce(line.slave()), "LinkTest\n");  // its CR read as a line end of its own
  ASSERT_TRUE(peer.waitReceived("LinkTest\r\n\r\n", 2000)) << peer.receivedBytes();
  EXPECT_EQ(peer.protocolErrors(),
            (std::vector<std::string>{"unexpected line \"?\\r\\n\"", "unexpected line \"LinkTest\\r\\n\"",
                                      "unexpected line \"\\r\\n\""}));
}

TEST(SketchPeerStrict, OnlyBeforeStart) {
  Line line;
  SketchPeer peer(line);
  peer.start();
  EXPECT_THROW(peer.strict(), std::logic_error);
}

// ---------------------------------------------------------------------------------------------
// Life of the peer

TEST(SketchPeerLife, StartingTwiceIsAnError) {
  Line line;
  SketchPeer peer(line);
  peer.start();
  EXPECT_THROW(peer.start(), std::logic_error);
}

TEST(SketchPeerLife, AfterStopNothingIsReadOrAnswered) {
  Line line;
  SketchPeer peer(line);
  peer.onLine("PING", "PONG\n");
  peer.start();
  peer.stop();
  peer.stop();
  writeAll(line.slave(), "PING\n");
  EXPECT_FALSE(readable(line.slave(), 300));
  EXPECT_EQ(peer.receivedBytes(), "");
}

TEST(SketchPeerLife, SendIsSafeFromManyThreads) {
  Line line;
  line.setRaw();
  SketchPeer peer(line);
  peer.start();
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([&peer, t] {
      for (int i = 0; i < kEach; ++i) peer.send(std::to_string(t) + ":" + std::to_string(i) + "\n");
    });
  std::size_t total = 0;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEach; ++i) total += std::to_string(t).size() + std::to_string(i).size() + 2;
  const std::string got = readBytes(line.slave(), total, 10000);
  for (auto& s : senders) s.join();
  ASSERT_EQ(got.size(), total);

  int next[kThreads] = {};
  for (std::size_t at = 0; at < got.size();) {
    const std::size_t colon = got.find(':', at), end = got.find('\n', at);
    ASSERT_LT(colon, end);
    const int t = std::stoi(got.substr(at, colon - at));
    const int i = std::stoi(got.substr(colon + 1, end - colon - 1));
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(i, next[t]) << "sender " << t;
    next[t] = i + 1;
    at = end + 1;
  }
  EXPECT_EQ(peer.sentTimes().size(), std::size_t{kThreads * kEach});
}

double cpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST(SketchPeerLife, WaitsQuietlyWhileNoOneHoldsTheSlave) {
  Line line;
  SketchPeer peer(line);
  peer.onLine("PING", "PONG\n");
  peer.start();
  // Closing the only slave descriptor leaves the master reporting a hang-up (EIO).
  ASSERT_EQ(close(line.slave()), 0);
  const double before = cpuSeconds();
  sleepMs(500);
  const double used = cpuSeconds() - before;
  EXPECT_LT(used, 0.05) << "CPU seconds used in 0.5 s of hang-up";

  // The slave is back under the number the Line owns; the peer goes on.
  const int fd = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  if (fd != line.slave()) {
    ASSERT_EQ(dup3(fd, line.slave(), O_CLOEXEC), line.slave());
    close(fd);
  }
  writeAll(line.slave(), "PING\n");
  EXPECT_EQ(readOnce(line.slave()), "PONG\n");
}

}  // namespace
