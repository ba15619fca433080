// The programs whose job is to print a result, with standard output on a full disk or on a pipe
// that nobody reads any more: each does its job, then ends with 255 and says why on standard
// error, since standard output is what failed. (The clock printers are tried in their own tests.)
#include <gtest/gtest.h>

#include "bench.h"

namespace {

struct Query {
  std::vector<std::string> argv;
  std::string request;  // the line the sketch answers
};

const std::vector<Query> kQueries = {{{"sketchcheck", "LinkTest"}, "?"},
                                     {{"sketchquery", "ping"}, "ping"},
                                     {{"sketchqueryblock", "ping"}, "ping"},
                                     {{"whichsketch"}, "?"}};

std::string shellLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const auto& a : argv) line += (line.empty() ? "" : " ") + a;
  return line;
}

}  // namespace

TEST(LostOutput, EachQueryToolAsksThenFailsOnAFullDisk) {
  bench::ScratchBoard board;
  for (const auto& q : kQueries) {
    SCOPED_TRACE(q.argv[0]);
    bench::Sketch sketch({{0, "LinkTest\n"}}, q.request);
    const auto r = bench::run(*board, {.argv = {"sh", "-c", shellLine(q.argv) + " >/dev/full"},
                                       .lines = {{"/dev/ttyS0", sketch.line.slavePath()}}});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, q.argv[0] + ": cannot write standard output: No space left on device\n");
    EXPECT_NE(sketch.peer.receivedBytes().find(q.request + "\n"), std::string::npos) << "the job was done";
  }
}

TEST(LostOutput, EachQueryToolFailsWhenItsReaderHasGone) {
  bench::ScratchBoard board;
  for (const auto& q : kQueries) {
    SCOPED_TRACE(q.argv[0]);
    bench::Sketch sketch({{0, "LinkTest\n"}}, q.request);
    // The reader ends before the tool starts; the status goes out on descriptor 3.
    const auto r = bench::run(
        *board, {.argv = {"sh", "-c", "exec 3>&1; { sleep 0.2; " + shellLine(q.argv) + "; echo \"status $?\" >&3; } | true"},
                 .lines = {{"/dev/ttyS0", sketch.line.slavePath()}}});
    EXPECT_EQ(r.out, "status 255\n");
    EXPECT_EQ(r.err.substr(r.err.find(':')), ": cannot write standard output: Broken pipe\n") << r.err;
  }
}

// The programs that act: the action is done, and when its confirmation cannot be written they
// end with 255 and say on standard error that it was done, so that nobody repeats it blindly.
TEST(LostOutput, EachActionToolSaysItActedWhenItsConfirmationIsLost) {
  bench::ScratchBoard board;
  board->setRtcHold(true);
  for (const auto& [command, said] : std::vector<std::pair<std::string, std::string>>{
           {"alarmset 30", "alarmset: the alarm is set"},
           {"alarmset --off", "alarmset: the alarm is cleared"},
           {"alarmclear", "alarmclear: the alarm is cleared"},
           {"clockset --now", "clockset: the RTC is set"}}) {
    SCOPED_TRACE(command);
    board->setRtcTime(2021, 3, 4, 5, 6, 7);
    board->clearTrace();
    const auto r = bench::run(*board, {.argv = {"sh", "-c", command + " >/dev/full"}});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, said + ", but its confirmation could not be written: No space left on device\n");
    EXPECT_FALSE(board->trace("i2c-write").empty()) << "the job was done";
  }
}
