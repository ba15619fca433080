// cmdlistener as a process on the bench, with a sketch on /dev/ttyS0 that sends command lines.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "bench.h"

namespace {

using bench::kNoErrors;
using bench::LineStart;
using bench::ProtocolSketch;
using namespace std::string_literals;

const std::string kStart = "Intercepting commands from serial port...\n  format: $$$Ardu command... 'lf'\n";
constexpr int kReplyMs = 5000;  // generous: a reply normally comes within milliseconds

// cmdlistener with `argv` on `line` as /dev/ttyS0.
bench::RunOptions onLine(const bench::Line& line, std::vector<std::string> argv = {"cmdlistener"}) {
  bench::RunOptions runOptions{.argv = std::move(argv), .timeoutMs = 30000};
  runOptions.lines["/dev/ttyS0"] = line.slavePath();
  return runOptions;
}

void setInput(bench::Line& line, bool canonical, bool crToNl, cc_t vmin) {
  line.setCanonical(canonical);
  line.setCrToNl(crToNl);
  termios t = line.settings();
  t.c_cc[VMIN] = vmin;
  ASSERT_EQ(tcsetattr(line.slave(), TCSANOW, &t), 0);
}

class Cmdlistener : public ::testing::Test {
 protected:
  void SetUp() override { line.setPlain(); }
  void start(std::vector<std::string> argv = {"cmdlistener"}, std::optional<int> maxOpenFiles = {}) {
    bench::RunOptions runOptions = onLine(line, std::move(argv));
    runOptions.maxOpenFiles = maxOpenFiles;
    peer.start();
    tool = std::make_unique<bench::Process>(*board, runOptions);
  }
  // Sends `bytes` as the sketch and waits until all that the tool sent so far is `expect`.
  void exchange(const std::string& bytes, const std::string& expect) {
    sent += expect;
    peer.send(bytes);
    ASSERT_TRUE(peer.waitReceived(sent, kReplyMs)) << "got: " << peer.receivedBytes();
    EXPECT_EQ(peer.receivedBytes(), sent);
  }
  // Ends the tool with the end line; what it printed, its status.
  bench::RunResult end() {
    peer.send("$$$Cend \n");
    auto r = tool->wait();
    EXPECT_EQ(peer.receivedBytes(), sent);
    return r;
  }

  bench::ScratchBoard board;
  bench::Line line;
  bench::SketchPeer peer{line};
  std::unique_ptr<bench::Process> tool;
  std::string sent;  // what the tool is expected to have sent so far
};

// A sketch written to the protocol, on a line that starts with the Pi's settings or raw: its
// lines end with CR LF, and it expects back only the replies and the command's output.
class CmdlistenerProtocol : public ::testing::TestWithParam<LineStart> {
 protected:
  bench::ScratchBoard board;
};

// Until the tool has set the line up (its speed, which no line here starts with): what the
// sketch sends from then on meets its settings.
bool waitSetUp(const bench::Line& line) {
  return bench::waitFor(
      [&] {
        const termios t = line.settings();
        return cfgetispeed(&t) == B115200;
      },
      2000, 1);
}

}  // namespace

TEST_P(CmdlistenerProtocol, ThreeListenersInARowAnswerWithTheirBytesAlone) {
  ProtocolSketch sketch(GetParam(), {{"OK", ""}, {"hello", ""}});
  std::string expected;
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    bench::Process tool(*board, onLine(sketch.line));
    ASSERT_TRUE(waitSetUp(sketch.line));
    sketch.peer.send("$$$Ardu echo hello\r\n");
    ASSERT_TRUE(sketch.peer.waitReceived(expected += "OK\n", kReplyMs)) << sketch.peer.receivedBytes();
    sketch.peer.send("$$$Resp \r\n");
    ASSERT_TRUE(sketch.peer.waitReceived(expected += "hello\n", kReplyMs)) << sketch.peer.receivedBytes();
    sketch.peer.send("$$$Cend \r\n");
    auto r = tool.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kStart + "<Command>\ncommand: echo hello\n> OK\n<GetAnswer\nhello\n<End>\n");
    EXPECT_EQ(sketch.peer.receivedBytes(), expected);
    EXPECT_EQ(sketch.pending(), 0);
  }
  EXPECT_EQ(sketch.peer.protocolErrors(), kNoErrors);
}

INSTANTIATE_TEST_SUITE_P(Lines, CmdlistenerProtocol, ::testing::Values(LineStart::piDefaults, LineStart::raw),
                         [](const auto& p) { return bench::nameOf(p.param); });

TEST(CmdlistenerAlone, NoPortAfterTheStartLines) {
  bench::ScratchBoard board;
  auto r = bench::run(*board, {.argv = {"cmdlistener", "ignored", "words"}});
  EXPECT_EQ(r.out, kStart + "Impossible to open serial port!");
  EXPECT_EQ(r.status, 255);
}

TEST_F(Cmdlistener, RelaysTheWholeOutputByteForByte) {
  start();
  std::string long1(599, '0');
  long1 += "7\n";
  std::string numbers;
  for (int i = 1; i <= 300; ++i) numbers += std::to_string(i) + "\n";
  exchange("$$$Ardu printf '%0600d\\n' 7\n", "OK\n");
  exchange("$$$Resp \n", long1);  // one output line of 601 bytes, relayed in pieces
  exchange("$$$Ardu seq 1 300\n", "OK\n");
  exchange("$$$Resp please\n", numbers);
  exchange("$$$Ardu printf 'a b\\n\\n\\tc\\n'\n", "OK\n");
  exchange("$$$Resp \n", "a b\n\n\tc\n");
  exchange("$$$Ardu true\n", "OK\n");
  exchange("$$$Resp \n", "");  // no output: nothing at all
  // A last piece without a line end goes at once too.
  exchange("$$$Ardu printf 'no end'\n", "OK\n");
  exchange("$$$Resp \n", "no end");
  exchange("$$$Ardu true\n", "OK\n");
  auto r = end();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kStart + "<Command>\ncommand: printf '%0600d\\n' 7\n> OK\n<GetAnswer\n" + long1 +
                       "<Command>\ncommand: seq 1 300\n> OK\n<GetAnswer\n" + numbers +
                       "<Command>\ncommand: printf 'a b\\n\\n\\tc\\n'\n> OK\n<GetAnswer\na b\n\n\tc\n"
                       "<Command>\ncommand: true\n> OK\n<GetAnswer\n"
                       "<Command>\ncommand: printf 'no end'\n> OK\n<GetAnswer\nno end"
                       "<Command>\ncommand: true\n> OK\n<End>\n");
}

// A flood of requests that never pauses is answered line for line: 2000 "$$$Resp " lines
// without a command get 2000 lone line feeds.
TEST_F(Cmdlistener, AnswersAFloodLineForLine) {
  start();
  ASSERT_TRUE(waitSetUp(line));
  exchange(bench::times(2000, "$$$Resp \n"), std::string(2000, '\n'));
  auto r = end();
  EXPECT_TRUE(r.out == kStart + bench::times(2000, "<GetAnswer\n>\n") + "<End>\n")
      << r.out.size() << " bytes on the console";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST_F(Cmdlistener, TheSecondCommandWaitsForTheFirst) {
  start();
  const std::int64_t sentUs = bench::monotonicMicros();
  peer.send("$$$Ardu sleep 1; echo first\n$$$Ardu echo second\n");
  sent = "OK\nOK\n";
  ASSERT_TRUE(peer.waitReceived(sent, kReplyMs));
  std::string all;
  std::vector<double> okS;  // after the lines were sent
  for (const auto& got : peer.received()) {
    for (char c : got.bytes) {
      all += c;
      if (all.ends_with("OK\n")) okS.push_back(static_cast<double>(got.us - sentUs) / 1e6);
    }
  }
  ASSERT_EQ(okS.size(), 2u);
  EXPECT_LT(okS[0], 0.5);  // at once
  EXPECT_GE(okS[1], 1.0);  // after the first command's 1 s
  EXPECT_LT(okS[1], 1.6);
  exchange("$$$Resp \n", "second\n");  // the first one's output is lost
  auto r = end();
  EXPECT_EQ(r.out, kStart + "<Command>\ncommand: sleep 1; echo first\n> OK\n"
                            "<Command>\ncommand: echo second\n> OK\n<GetAnswer\nsecond\n<End>\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(Cmdlistener, ResponseWithoutACommandAndTwice) {
  start();
  exchange("$$$Resp \n", "\n");
  exchange("$$$Ardu echo once\n", "OK\n");
  exchange("$$$Resp \n", "once\n");
  exchange("$$$Resp \n", "");
  exchange("$$$Ardu true\n", "OK\n");
  auto r = end();
  EXPECT_EQ(r.out, kStart + "<GetAnswer\n>\n<Command>\ncommand: echo once\n> OK\n<GetAnswer\nonce\n<GetAnswer\n"
                            "<Command>\ncommand: true\n> OK\n<End>\n");
}

TEST_F(Cmdlistener, OtherLinesAreIgnored) {
  start();
  peer.send(
      "$$$Cend\n$$$cend \n$$$ardu echo x\n$$$ARDU echo x\n$$$Ardu\n$$$Resp\n $$$Ardu echo x\n$$Ardu echo x\n"
      "hello\n\n$$$Ard\n");
  exchange("$$$Resp \n", "\n");  // still running, and no command was started
  peer.send("$$$Cend bye\n");
  auto r = tool->wait();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kStart + "<GetAnswer\n>\n<End>\n");
  EXPECT_EQ(peer.receivedBytes(), sent);
}

// A line that never ends is read in pieces (or, in canonical mode, held by the terminal) and
// acted on nowhere; the keyword line after it still works.
TEST_F(Cmdlistener, IgnoresAnEndlessLine) {
  for (bool canonical : {true, false}) {
    SCOPED_TRACE(canonical ? "canonical" : "non-canonical");
    bench::Sketch sketch(bench::LineMode{.start = LineStart::raw, .canonical = canonical});
    bench::Process p(*board, onLine(sketch.line));
    ASSERT_TRUE(waitSetUp(sketch.line));
    sketch.peer.flood("xxxxxxxxxx", 600);
    sketch.peer.send("\n$$$Cend \n");
    auto r = p.wait();
    EXPECT_EQ(r.out, kStart + "<End>\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sketch.peer.receivedBytes(), "");
  }
}

TEST_F(Cmdlistener, ACommandLineOver511BytesBeforeItsEndIsRefusedWhole) {
  start();
  // Another line is read in parts, and only a part that begins with a keyword acts.
  exchange(std::string(511, '-') + "$$$Ardu echo tail\n", "OK\n");
  exchange("$$$Resp \n", "tail\n");
  // A command cut at 511 bytes would be another command, and its rest a command of its own:
  // neither runs, and the one before is let go as for a command that cannot start.
  const std::string xs(498, 'x');
  exchange("$$$Ardu echo " + xs + "$$$Ardu touch /dev/vboard/cut\n", "NO\n");
  exchange("$$$Resp \n", "\n");
  // The line's length with its line end: 513 refused; 512 and 511 run, and a CR LF end is one
  // line end.
  const std::string ys(497, 'y');
  struct Row {
    std::string line, reply;
  };
  for (const Row& row : {Row{"$$$Ardu echo " + xs + "x\n", "NO\n"}, Row{"$$$Ardu echo " + xs + "\n", "OK\n"},
                         Row{"$$$Ardu echo " + ys + "\n", "OK\n"}, Row{"$$$Ardu echo " + xs + "\r\n", "OK\n"},
                         Row{"$$$Ardu echo " + ys + "\r\n", "OK\n"}}) {
    SCOPED_TRACE(row.line.size());
    exchange(row.line, row.reply);
    if (row.reply == "OK\n") exchange("$$$Resp \n", row.line.substr(13, row.line.find_first_of("\r\n") - 13) + "\n");
  }
  auto r = end();
  const auto ran = [](const std::string& text) {
    return "<Command>\ncommand: echo " + text + "\n> OK\n<GetAnswer\n" + text + "\n";
  };
  EXPECT_EQ(r.out, kStart + "<Command>\ncommand: echo tail\n> OK\n<GetAnswer\ntail\n" +
                       "<Command>\n> NO\n<GetAnswer\n>\n<Command>\n> NO\n" + ran(xs) + ran(ys) + ran(xs) + ran(ys) +
                       "<End>\n");
  EXPECT_FALSE(std::filesystem::exists(board->dir() / "cut")) << "the rest of a refused line ran";
}

TEST_F(Cmdlistener, CommandsHaveNeitherTheLineNorItsInput) {
  // Started with standard input closed, the port would be descriptor 0, the commands' input.
  start({"sh", "-c", "exec cmdlistener <&-"});
  exchange("$$$Ardu cat\n", "OK\n");
  exchange("$$$Resp \n", "");  // cat read nothing: the line's next lines are the listener's
  // No descriptor of the line reaches a command, under any name.
  exchange("$$$Ardu ls -l /proc/self/fd/ | grep -c -e /dev/tty -e /dev/pts\n", "OK\n");
  exchange("$$$Resp \n", "0\n");
  auto r = end();
  EXPECT_EQ(r.status, 0);
}

TEST_F(Cmdlistener, ShellComplaintsAndErrorOutputAreNotRelayed) {
  start();
  exchange("$$$Ardu no-such-command-on-the-pi\n", "OK\n");  // the shell did start
  exchange("$$$Resp \n", "");
  exchange("$$$Ardu echo out; echo err >&2\n", "OK\n");
  exchange("$$$Resp \n", "out\n");
  auto r = end();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("no-such-command-on-the-pi"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("err\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, kStart + "<Command>\ncommand: no-such-command-on-the-pi\n> OK\n<GetAnswer\n"
                            "<Command>\ncommand: echo out; echo err >&2\n> OK\n<GetAnswer\nout\n<End>\n");
}

// The command text is a C string: it ends at its first NUL; other bytes go as they came.
TEST_F(Cmdlistener, RunsACommandOnlyUpToItsFirstNul) {
  line.setRaw();  // in canonical mode the terminal might take a NUL for a line end
  start();
  exchange("$$$Ardu echo a\0; touch /dev/vboard/pwned-nul\n"s, "OK\n");
  exchange("$$$Resp \n", "a\n");
  peer.send("\0$$$Cend \n"s);  // no keyword: ignored
  exchange("$$$Ardu echo \xc3\xa9\xff\x01\n", "OK\n");
  exchange("$$$Resp \n", "\xc3\xa9\xff\x01\n");
  auto r = end();
  EXPECT_EQ(r.out,
            kStart +
                "<Command>\ncommand: echo a> OK\n<GetAnswer\na\n<Command>\ncommand: echo \xc3\xa9\xff\x01\n> OK\n"
                "<GetAnswer\n\xc3\xa9\xff\x01\n<End>\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(std::filesystem::exists(board->dir() / "pwned-nul")) << "the text after the NUL ran";
}

TEST_F(Cmdlistener, AnEmptyCommandStartsNothing) {
  start();
  exchange(std::string("$$$Ardu \0echo hidden\n", 21), "OK\n");
  exchange("$$$Resp \n", "\n");
  auto r = end();
  EXPECT_EQ(r.out, kStart + "<Command>\n> OK\n<GetAnswer\n>\n<End>\n");
}

TEST_F(Cmdlistener, TheEndLineDoesNotWaitForTheCommand) {
  start();
  exchange("$$$Ardu sleep 5\n", "OK\n");
  const std::int64_t endSent = bench::monotonicMicros();
  auto r = end();
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(static_cast<double>(r.endUs - endSent) / 1e6, 0.5);
  EXPECT_EQ(r.out, kStart + "<Command>\ncommand: sleep 5\n> OK\n<End>\n");
}

TEST_F(Cmdlistener, ACommandThatCannotStartGetsNO) {
  // Standard streams and the port's three descriptors leave one free below the limit: too
  // few for the command's pipe.
  start({"cmdlistener"}, 7);
  exchange("$$$Ardu echo never\n", "NO\n");
  exchange("$$$Resp \n", "\n");
  auto r = end();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kStart + "<Command>\ncommand: echo never\n> NO\n<GetAnswer\n>\n<End>\n");
}

TEST_F(Cmdlistener, StartedWithSigchldIgnoredItSetsItBack) {
  // Ignored, the commands would reap themselves and closing a command's stream could not
  // wait for its end: the listener sets SIGCHLD back first.
  start({"env", "--ignore-signal=CHLD", "cmdlistener"});
  exchange("$$$Ardu echo one\n", "OK\n");
  std::ifstream status("/proc/" + std::to_string(tool->pid()) + "/status");
  std::string ignored;
  for (std::string key; status >> key;)
    if (key == "SigIgn:") status >> ignored;
  ASSERT_FALSE(ignored.empty());
  EXPECT_EQ(std::stoull(ignored, nullptr, 16) & (1ull << (SIGCHLD - 1)), 0u) << ignored;
  exchange("$$$Ardu echo two\n", "OK\n");
  exchange("$$$Resp \n", "two\n");
  auto r = end();
  EXPECT_EQ(r.out, kStart + "<Command>\ncommand: echo one\n> OK\n<Command>\ncommand: echo two\n> OK\n"
                            "<GetAnswer\ntwo\n<End>\n");
}

TEST_F(Cmdlistener, CommandsEndedByCrLfRunAsSent) {
  struct Mode {
    const char* name;
    bool canonical, crToNl;
    cc_t vmin;
  };
  for (const Mode& m : {Mode{"canonical, CR kept", true, false, 1}, Mode{"canonical, CR read as LF", true, true, 1},
                        Mode{"non-canonical, CR kept", false, false, 0}}) {
    SCOPED_TRACE(m.name);
    bench::Line own;
    own.setPlain();
    setInput(own, m.canonical, m.crToNl, m.vmin);
    bench::SketchPeer sketch(own);
    sketch.start();
    bench::Process p(*board, onLine(own));
    sketch.send("$$$Ardu printf '[%s]\\n' word\r\n");
    ASSERT_TRUE(sketch.waitReceived("OK\n", kReplyMs));
    sketch.send("$$$Resp \r\n");
    ASSERT_TRUE(sketch.waitReceived("OK\n[word]\n", kReplyMs)) << sketch.receivedBytes();
    sketch.send("$$$Cend \r\n");
    auto r = p.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kStart + "<Command>\ncommand: printf '[%s]\\n' word\n> OK\n<GetAnswer\n[word]\n<End>\n");
  }
}

TEST_F(Cmdlistener, ALineInPartsAcrossReadTimeOutsStaysWhole) {
  // Non-canonical with VMIN 0: a read ends empty after 0.1 s without input.
  setInput(line, false, true, 0);
  start();
  peer.send("$$$Ardu ec");
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  exchange("ho split\n", "OK\n");
  peer.send("$$$Re");
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  peer.send("sp ");
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  exchange("\n", "split\n");
  auto r = end();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kStart + "<Command>\ncommand: echo split\n> OK\n<GetAnswer\nsplit\n<End>\n");
}

TEST_F(Cmdlistener, WorksWithVmin1OnANonCanonicalLine) {
  setInput(line, false, true, 1);
  start();
  exchange("$$$Ardu echo one\n", "OK\n");
  exchange("$$$Resp \n", "one\n");
  EXPECT_EQ(end().status, 0);
}

// Gone mid-way through relaying a long output: the relay runs out into nothing, then the end.
TEST_F(Cmdlistener, EndsWithNOWhenTheDeviceGoesMidRelay) {
  start();
  exchange("$$$Ardu seq 1 100000\n", "OK\n");
  peer.send("$$$Resp \n");
  ASSERT_TRUE(peer.waitReceived("\n1000\n"));
  peer.stop();  // reads no more, so the relay is held mid-way until the hang-up
  const std::int64_t gone = bench::monotonicMicros();
  peer.hangUp();
  auto r = tool->wait();
  EXPECT_TRUE(r.out.ends_with("99999\n100000\nNO serial port /dev/ttyS0 lost: hang-up\n"))
      << r.out.substr(r.out.size() > 200 ? r.out.size() - 200 : 0);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "");
  EXPECT_LT((r.endUs - gone) / 1e6, 3.0);
}

TEST(CmdlistenerUnplugged, EndsWithNOWhenTheDeviceIsGone) {
  for (bool canonical : {true, false}) {
    SCOPED_TRACE(canonical ? "canonical" : "non-canonical, VMIN 0");
    bench::ScratchBoard board;
    bench::Line port;
    setInput(port, canonical, true, 0);
    bench::SketchPeer sketch(port);
    sketch.start();
    bench::Process tool(*board, onLine(port));
    sketch.send("$$$Ardu echo up\n");
    ASSERT_TRUE(sketch.waitReceived("OK", kReplyMs));
    sketch.stop();
    const std::int64_t unpluggedUs = bench::monotonicMicros();
    port.hangUp();
    auto r = tool.wait();
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(r.timedOut);
    EXPECT_LT(static_cast<double>(r.endUs - unpluggedUs) / 1e6, 0.5);
    EXPECT_EQ(r.out, kStart + "<Command>\ncommand: echo up\n> OK\nNO serial port /dev/ttyS0 lost: hang-up\n");
  }
}
