// The companion sketches of firmware/, each running on the virtual chip.
#include <gtest/gtest.h>

#include <string>

#include "bench.h"
#include "vmcu.h"

namespace {

using bench::ScratchBoard;
using bench::secondsSince;
using bench::sleepMs;
using bench::TestPort;
using vmcu::Chip;

// The sketch's start-up line goes out to no one: the tests open the port after it.
const std::string& portAfterStart(const Chip& chip) {
  EXPECT_TRUE(chip.waitStream("lost", " started\\n", 3000)) << chip.log();
  return chip.port();
}

// --- LinkTest ---

class LinkTestOnChip : public ::testing::Test {
 protected:
  ScratchBoard board;
  Chip chip{*board, vmcu::sketch("LinkTest")};
  TestPort port{portAfterStart(chip), B9600};
};

TEST_F(LinkTestOnChip, AnswersTheIdentityQueryWithItsNameLine) {
  EXPECT_EQ(port.ask("?\n"), "LinkTest\n");
  EXPECT_EQ(port.ask("?\r\n"), "LinkTest\n");  // as a tty with ONLCR sends it
  EXPECT_EQ(port.readFor(200), "");
}

TEST_F(LinkTestOnChip, IgnoresWhatItDoesNotKnow) {
  port.send("hello\nLinkTest\n? \nECHO\n");
  EXPECT_EQ(port.readFor(400), "");
  EXPECT_EQ(port.ask("?\n"), "LinkTest\n");
}

TEST_F(LinkTestOnChip, TestCommands) {
  EXPECT_EQ(port.ask("ECHO some words\n"), "some words\n");
  const std::string longLine = port.ask("LONG 300\n");
  ASSERT_EQ(longLine.size(), 301u);
  EXPECT_EQ(longLine.substr(0, 12), "012345678901");
  EXPECT_EQ(longLine.substr(290), "0123456789\n");

  const auto asked = bench::monotonicMicros();
  EXPECT_EQ(port.ask("LATER 400 late\n", 1500), "late\n");
  // The chip's clock can fall behind on a loaded machine, never run ahead: a firm lower bound.
  EXPECT_GT(secondsSince(asked), 0.38);
  EXPECT_LT(secondsSince(asked), 1.0);

  port.send("SPLIT 300\n");
  EXPECT_EQ(port.readFor(200), "first half");
  EXPECT_EQ(port.readUntil("\n", 500), " second half\n");

  const long up = std::stol(port.ask("UPTIME\n"));
  EXPECT_GT(up, 900);
  EXPECT_LT(up, 10000);
}

// A tty left in its default modes echoes the sketch's answer back to it; the sketch
// must not answer its own name, or the line would never fall silent.
TEST(LinkTestOnAnEchoingPort, ItDoesNotTalkOnAndOn) {
  ScratchBoard board;
  Chip chip(*board, vmcu::sketch("LinkTest"));
  TestPort port(portAfterStart(chip), B9600, /*raw=*/false);
  port.send("?\n");
  EXPECT_EQ(port.readFor(1000), "LinkTest\n");
  // The sketch did hear its own answer, and said nothing more.
  const std::string log = chip.log();
  EXPECT_EQ(vmcu::stream(log, {"pi"}), "?\\r\\nLinkTest\\r\\n") << log;
  EXPECT_EQ(vmcu::stream(log, {"chip"}), "LinkTest\\n") << log;
}

// --- WaitSketch ---

class WaitSketchOnChip : public ::testing::Test {
 protected:
  ScratchBoard board;
  Chip chip{*board, vmcu::sketch("WaitSketch")};
  TestPort port{portAfterStart(chip), B9600};
};

TEST_F(WaitSketchOnChip, AnswersTheIdentityQuery) { EXPECT_EQ(port.ask("?\n"), "WaitSketch\n"); }

TEST_F(WaitSketchOnChip, DigitalPinReachingItsLevel) {
  chip.setPin("D6", 0);
  port.send("INTD6=1\n");
  EXPECT_EQ(port.readFor(400), "");
  chip.setPin("D6", 1);
  const auto set = bench::monotonicMicros();
  EXPECT_EQ(port.readUntil("\n", 1000), "OK\n");
  EXPECT_LT(secondsSince(set), 0.3);
  // Holding already: answered at once.
  EXPECT_EQ(port.ask("INTD6=1\n"), "OK\n");
  port.send("INTD6=0\n");
  EXPECT_EQ(port.readFor(300), "");
  chip.setPin("D6", 0);
  EXPECT_EQ(port.readUntil("\n", 1000), "OK\n");
}

TEST_F(WaitSketchOnChip, PinsOfPortBToo) {
  chip.setPin("D13", 0);
  port.send("INTD13=1\n");
  EXPECT_EQ(port.readFor(300), "");
  chip.setPin("D13", 1);
  EXPECT_EQ(port.readUntil("\n", 1000), "OK\n");
}

TEST_F(WaitSketchOnChip, AnalogInputAboveAndBelow) {
  chip.setAdc(2, 1000);  // reads 204
  port.send("INTA2>500\n");
  EXPECT_EQ(port.readFor(400), "");
  chip.setAdc(2, 3000);  // reads 614
  EXPECT_EQ(port.readUntil("\n", 1000), "OK\n");
  port.send("INTA2<200\n");
  EXPECT_EQ(port.readFor(300), "");
  chip.setAdc(2, 900);  // reads 184
  EXPECT_EQ(port.readUntil("\n", 1000), "OK\n");
  // The 10-bit reading, not the millivolts: 2445 mV reads 500, which is not above 500.
  chip.setAdc(2, 2445);
  port.send("INTA2>500\n");
  EXPECT_EQ(port.readFor(300), "");
  chip.setAdc(2, 2460);  // reads 503
  EXPECT_EQ(port.readUntil("\n", 1000), "OK\n");
}

TEST_F(WaitSketchOnChip, TheQueryOrANewWaitEndsThePendingOne) {
  chip.setPin("D5", 0);
  chip.setPin("D7", 0);
  // A caller that gave up, then the next one's query: the old wait never answers.
  port.send("INTD5=1\n");
  EXPECT_EQ(port.ask("?\n"), "WaitSketch\n");
  chip.setPin("D5", 1);
  EXPECT_EQ(port.readFor(300), "");
  chip.setPin("D5", 0);
  // A new wait, even one out of range, ends it too.
  for (const char* next : {"INTD7=1\n", "INTD2=1\n"}) {
    SCOPED_TRACE(next);
    port.send("INTD5=1\n");
    port.send(next);
    sleepMs(100);  // heard and taken
    chip.setPin("D5", 1);
    EXPECT_EQ(port.readFor(300), std::string(next) == "INTD2=1\n" ? "NO range\n" : "");
    chip.setPin("D5", 0);
  }
  chip.setPin("D7", 1);
  EXPECT_EQ(port.readFor(300), "");  // no wait left for D7 either
  EXPECT_EQ(port.ask("INTD7=1\n"), "OK\n");
}

TEST_F(WaitSketchOnChip, OutOfRangeAndUnknownLines) {
  EXPECT_EQ(port.ask("INTD2=1\n"), "NO range\n");
  EXPECT_EQ(port.ask("INTD6=2\n"), "NO range\n");
  EXPECT_EQ(port.ask("INTA6>100\n"), "NO range\n");
  EXPECT_EQ(port.ask("INTA1<1025\n"), "NO range\n");
  port.send("INTDabc=xyz\nINTA2=100\nhello\n");
  EXPECT_EQ(port.readFor(300), "");
}

TEST_F(WaitSketchOnChip, DrivenLevelsOutlastAReset) {
  chip.setPin("D6", 1);
  chip.reset();
  EXPECT_EQ(port.readUntil("WaitSketch started\n", 3000), "WaitSketch started\n");
  EXPECT_EQ(port.ask("INTD6=1\n"), "OK\n");
}

// --- CommandSketch, at 115200 baud; the test plays the interceptor ---

class CommandSketchOnChip : public ::testing::Test {
 protected:
  ScratchBoard board;
  Chip chip{*board, vmcu::sketch("CommandSketch")};
  TestPort port{portAfterStart(chip), B115200};

  // The exchange the interceptor has with it, up to "DONE".
  void serve(const std::string& command, const std::string& output) {
    EXPECT_EQ(port.readUntil("\n", 1000), "$$$Ardu " + command + "\n");
    port.send("OK\n");
    EXPECT_EQ(port.readUntil("\n", 1000), "$$$Resp \n");
    port.send(output);
    std::string relayed;
    for (std::size_t at = 0, nl; (nl = output.find('\n', at)) != std::string::npos; at = nl + 1)
      relayed += "GOT " + output.substr(at, nl - at) + "\n";
    EXPECT_EQ(port.readUntil("DONE\n", 3000), relayed + "$$$Cend \nDONE\n");
  }
};

TEST_F(CommandSketchOnChip, AnswersTheIdentityQuery) { EXPECT_EQ(port.ask("?\n"), "CommandSketch\n"); }

TEST_F(CommandSketchOnChip, ALineTriggersTheCommandAndTheAnswerIsRelayed) {
  port.send("RUN\n");
  serve("uname -s", "Linux\n");
}

TEST_F(CommandSketchOnChip, APinTriggersIt) {
  port.send("CMD echo one two\n");
  sleepMs(50);
  chip.setPin("D2", 1);
  serve("echo one two", "one two\nthree\n");
  chip.setPin("D2", 0);
  EXPECT_EQ(port.readFor(300), "");
}

TEST_F(CommandSketchOnChip, ItsOwnEchoIsIgnored) {
  port.send("RUN\n");
  EXPECT_EQ(port.readUntil("\n", 1000), "$$$Ardu uname -s\n");
  port.send("$$$Ardu uname -s\r\nOK\r\n");  // the echo a port in echo mode gives, then the answer
  EXPECT_EQ(port.readUntil("\n", 1000), "$$$Resp \n");
  port.send("$$$Resp \r\nLinux\r\n");
  EXPECT_EQ(port.readUntil("\n", 1000), "GOT Linux\n");
  port.send("GOT Linux\r\n");
  EXPECT_EQ(port.readUntil("DONE\n", 2500), "$$$Cend \nDONE\n");
}

TEST_F(CommandSketchOnChip, WithoutAnAnswerItGivesUpAndEnds) {
  port.send("RUN\n");
  EXPECT_EQ(port.readUntil("\n", 1000), "$$$Ardu uname -s\n");
  const auto sent = bench::monotonicMicros();
  EXPECT_EQ(port.readUntil("\n", 3000), "$$$Resp \n");
  EXPECT_GT(secondsSince(sent), 1.95);
  EXPECT_LT(secondsSince(sent), 3.0);
  EXPECT_EQ(port.readUntil("DONE\n", 2000), "$$$Cend \nDONE\n");
}

}  // namespace
