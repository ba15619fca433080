// The suite end to end: the tools on the bench against the virtual chip, which runs optiboot
// and the companion sketches, with Debian's avrdude (and sudo) at the fixed paths. Nothing is
// stubbed but the Pi's own I2C and GPIO.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bench.h"
#include "vmcu.h"

namespace {

namespace fs = std::filesystem;

using bench::secondsSince;
using bench::sleepMs;

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The descriptors that a process holds on a path of its own view.
int descriptorsOn(pid_t pid, const std::string& path) {
  int n = 0;
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
    if (fs::read_symlink(fd.path(), ec) == path) ++n;
  return n;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The board's chip on one line, which every run finds under all three serial names, with
// Debian's avrdude and its configuration, the shipped loader and the built WaitSketch.hex
// at the fixed paths.
class EndToEnd : public ::testing::Test {
 protected:
  void start(const std::string& sketch) {
    chip.emplace(*board, line, vmcu::sketch(sketch));
    ASSERT_TRUE(waitStarts(1, 3000)) << chip->log();
  }

  bench::RunOptions runOptions(std::vector<std::string> argv, int timeoutMs = 30000) const {
    bench::RunOptions s;
    s.argv = std::move(argv);
    for (const auto& name : bench::kSerialNames) s.lines[name] = line.slavePath();
    s.files[bench::kAvrdude] = "/usr/bin/avrdude";
    s.files[bench::kAvrdudeConf] = "/etc/avrdude.conf";
    s.files[bench::kLoader] = MCULOAD;
    s.files[bench::kWaitSketch] = vmcu::sketch("WaitSketch");
    s.timeoutMs = timeoutMs;
    return s;
  }
  bench::RunResult run(std::vector<std::string> argv) const { return bench::run(board.get(), runOptions(std::move(argv))); }
  bench::RunResult flash(const std::string& sketch) const { return run({"mcuflash", vmcu::sketch(sketch).string()}); }

  // How often a sketch has sent its start-up line, heard or not.
  int starts() const { return count(vmcu::stream(chip->log(), {"chip", "lost"}), " started\\n"); }
  bool waitStarts(int n, int ms) const { return bench::waitFor([&] { return starts() >= n; }, ms, 10); }
  bool waitHeard(const std::string& escaped, int ms) const {
    return bench::waitFor([&] { return vmcu::stream(chip->log(), {"pi"}).find(escaped) != std::string::npos; }, ms, 10);
  }
  int resets() const { return count(chip->log(), " reset\n"); }

  bench::ScratchBoard board;
  bench::Line line;
  std::optional<vmcu::Chip> chip;
};

// --- uploads ---

TEST_F(EndToEnd, McuflashUploadsAndTheQueryToolsMeetTheNewSketch) {
  start("WaitSketch");
  auto r = flash("LinkTest");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  // The new sketch starts once optiboot has done; a script waits for that as well.
  ASSERT_TRUE(waitStarts(2, 3000)) << chip->log();

  r = run({"sketchcheck", "LinkTest"});
  EXPECT_EQ(r.out, "YES\n");
  EXPECT_EQ(r.status, 0);
  r = run({"whichsketch"});
  EXPECT_EQ(r.out, "LinkTest\n\n");
  EXPECT_EQ(r.status, 0);
  r = run({"sketchquery", "ECHO from the Pi"});
  EXPECT_EQ(r.out, "from the Pi\n");
  EXPECT_EQ(r.status, 0);

  // Long after optiboot's own second: only the tool's reset sequence gets the chip back into it.
  sleepMs(3000);
  r = flash("WaitSketch");
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(waitStarts(3, 3000)) << chip->log();
  r = run({"whichsketch"});
  EXPECT_EQ(r.out, "WaitSketch\n\n");
  EXPECT_EQ(resets(), 2) << chip->log();
}

TEST_F(EndToEnd, TenUploadsInARow) {
  start("LinkTest");
  std::vector<double> seconds;
  for (int i = 0; i < 10; ++i) {
    const std::string sketch = i % 2 == 0 ? "WaitSketch" : "LinkTest";
    const auto r = flash(sketch);
    ASSERT_EQ(r.status, 0) << "upload " << i + 1 << ": " << r.err;
    seconds.push_back(r.seconds);
    ASSERT_TRUE(waitStarts(i + 2, 3000)) << "upload " << i + 1 << "\n" << chip->log();
    EXPECT_EQ(run({"sketchcheck", sketch}).out, "YES\n") << "upload " << i + 1;
  }
  EXPECT_EQ(resets(), 10);
  // An upload of these sketches takes 1.5 to 3 s; far more means the tool waited for a
  // programmer that had to give up and retry.
  EXPECT_LT(*std::max_element(seconds.begin(), seconds.end()), 6.0);
  std::printf("ten uploads: median %.2f s, longest %.2f s\n", median(seconds),
              *std::max_element(seconds.begin(), seconds.end()));
}

// As root, Debian's sudo asks nothing; the stand-ins are left out so that the real one runs.
TEST_F(EndToEnd, BoardflashUploadsThroughSudo) {
  ASSERT_TRUE(fs::exists("/usr/bin/sudo")) << "Debian's sudo package is needed";
  start("WaitSketch");
  auto s = runOptions({"boardflash", vmcu::sketch("LinkTest").string()});
  s.standIns = false;
  auto r = bench::run(*board, s);
  EXPECT_EQ(r.out, "Uploaded!\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(board.get().commands().empty()) << "a stand-in ran instead of sudo";
  ASSERT_TRUE(waitStarts(2, 3000)) << chip->log();
  r = run({"sketchcheck", "LinkTest"});
  EXPECT_EQ(r.out, "YES\n");
}

TEST_F(EndToEnd, McuresetRestartsTheSketch) {
  start("LinkTest");
  const auto r = run({"mcureset"});
  EXPECT_EQ(r.out, "Orvix reset!\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(resets(), 1) << chip->log();
  // Reset while the line rises, half a second into the run; the sketch follows optiboot's second.
  ASSERT_TRUE(waitStarts(2, 3000)) << chip->log();
  EXPECT_EQ(run({"sketchcheck", "LinkTest"}).out, "YES\n");
}

// --- pinwait with its sketch uploaded through the loader ---

TEST_F(EndToEnd, PinwaitUploadsItsSketchThenWaitsForThePins) {
  start("LinkTest");
  chip->setPin("D6", 0);
  chip->setAdc(2, 1000);  // reads 204
  auto r = run({"pinwait", "-dig", "6", "1"});
  EXPECT_EQ(r.out, std::string("\nNo sketch ") + bench::kWaitSketch + ". Uploading...\n");
  EXPECT_EQ(r.status, 254) << r.err;
  EXPECT_EQ(board.get().commands(), (std::vector<std::vector<std::string>>{{"sudo", "mcuflash", bench::kWaitSketch}}));
  ASSERT_TRUE(waitStarts(2, 3000)) << chip->log();

  {
    bench::Process wait(*board, runOptions({"pinwait", "-dig", "6", "1"}));
    ASSERT_TRUE(waitHeard("INTD6=1", 3000)) << chip->log();
    sleepMs(300);
    EXPECT_TRUE(wait.running());
    chip->setPin("D6", 1);
    const auto raised = bench::monotonicMicros();
    r = wait.wait();
    EXPECT_LT(secondsSince(raised), 1.0);
    EXPECT_EQ(r.out, "OK Pin changed!\n");
    EXPECT_EQ(r.status, 0);
  }
  {
    bench::Process wait(*board, runOptions({"pinwait", "-ana", "2", "gt", "500"}));
    ASSERT_TRUE(waitHeard("INTA2>500", 3000)) << chip->log();
    sleepMs(300);
    EXPECT_TRUE(wait.running());
    chip->setAdc(2, 3000);  // reads 614
    const auto raised = bench::monotonicMicros();
    r = wait.wait();
    EXPECT_LT(secondsSince(raised), 1.0);
    EXPECT_EQ(r.out, "OK value reached!\n");
    EXPECT_EQ(r.status, 0);
  }
}

// A wait whose pinwait was killed ends at the next caller's query: raising its pin then
// sends nothing, so the next pinwait reads only its own answer.
TEST_F(EndToEnd, AWaitLeftByAKilledPinwaitNeverAnswersTheNextCaller) {
  start("WaitSketch");
  chip->setPin("D5", 0);
  chip->setPin("D6", 0);
  {
    bench::Process first(*board, runOptions({"pinwait", "-dig", "5", "1"}));
    ASSERT_TRUE(waitHeard("INTD5=1", 3000)) << chip->log();
    first.signal(SIGKILL);
    first.wait();
  }
  EXPECT_EQ(run({"whichsketch"}).out, "WaitSketch\n\n");
  const std::string before = vmcu::stream(chip->log(), {"chip"});
  chip->setPin("D5", 1);
  sleepMs(300);
  EXPECT_EQ(vmcu::stream(chip->log(), {"chip"}), before) << "the abandoned wait answered";

  bench::Process second(*board, runOptions({"pinwait", "-dig", "6", "1"}));
  ASSERT_TRUE(waitHeard("INTD6=1", 3000)) << chip->log();
  sleepMs(300);
  EXPECT_TRUE(second.running());
  chip->setPin("D6", 1);
  const auto r = second.wait();
  EXPECT_EQ(r.out, "OK Pin changed!\n");
  EXPECT_EQ(r.status, 0);
}

// --- cmdlistener serving the command-sending sketch ---

TEST_F(EndToEnd, CmdlistenerRunsTheSketchsCommandOnThePi) {
  start("CommandSketch");
  const termios fresh = line.settings();
  {
    bench::TestPort port(line.slavePath(), B115200);
    port.send("CMD echo pi says $((6*7))\n");
    ASSERT_TRUE(waitHeard("CMD echo pi says $((6*7))\\n", 1000)) << chip->log();
  }
  tcsetattr(line.slave(), TCSANOW, &fresh);  // the port in the modes a Pi starts with

  bench::Process listener(*board, runOptions({"cmdlistener"}));
  // Set up once it holds its three descriptors of the port: the streams are opened last.
  bench::waitFor([&] { return descriptorsOn(listener.pid(), "/dev/ttyS0") >= 3; }, 3000, 10);
  ASSERT_EQ(descriptorsOn(listener.pid(), "/dev/ttyS0"), 3);
  chip->setPin("D2", 1);  // the sketch's trigger
  const auto r = listener.wait();
  EXPECT_EQ(r.out,
            "Intercepting commands from serial port...\n"
            "  format: $$$Ardu command... 'lf'\n"
            "<Command>\n"
            "command: echo pi says $((6*7))\n"
            "> OK\n"
            "<GetAnswer\n"
            "pi says 42\n"
            "<End>\n");
  EXPECT_EQ(r.status, 0) << r.err;
  // The sketch relays each line of the answer it got.
  EXPECT_NE(vmcu::stream(chip->log(), {"chip"}).find("GOT pi says 42\\n"), std::string::npos) << chip->log();
}

// --- the port as the tools leave it ---

// The line starts as a Pi's UART does (canonical, echo, CR and LF mapped): the sketch hears
// exactly the tools' bytes, whichever tool came before, and nothing of an answer comes back.
TEST_F(EndToEnd, QueriesOneAfterAnotherOnAPortWithThePisSettings) {
  start("LinkTest");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(run({"sketchcheck", "LinkTest"}).out, "YES\n") << "query " << i + 1;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(run({"whichsketch"}).out, "LinkTest\n\n") << "name " << i + 1;
  EXPECT_EQ(run({"sketchquery", "ECHO last"}).out, "last\n");
  EXPECT_EQ(run({"sketchqueryblock", "ECHO block"}).out, "block\n");
  EXPECT_EQ(vmcu::stream(chip->log(), {"pi"}), "?\\n?\\n?\\n?\\n?\\n?\\nECHO last\\nECHO block\\n") << chip->log();
}

TEST_F(EndToEnd, PinwaitAfterAQueryOnTheSameLine) {
  start("WaitSketch");
  EXPECT_EQ(run({"sketchcheck", "WaitSketch"}).out, "YES\n");
  chip->setPin("D7", 1);
  const auto r = bench::run(*board, runOptions({"pinwait", "-dig", "7", "1"}, 5000));
  EXPECT_EQ(r.out, "OK Pin changed!\n");
  EXPECT_EQ(r.status, 0);
}

// --- the time an upload takes ---

// mcuflash against Debian's avrdude alone, with the same arguments and a reset pulse from
// the bench just before it starts: what the tool adds is its 100 ms low and its 2 ms pause.
TEST_F(EndToEnd, McuflashAgainstBareAvrdude) {
  start("LinkTest");
  std::vector<double> tool, bare;
  for (int i = 0; i < 5; ++i) {
    const std::string sketch = i % 2 == 0 ? "WaitSketch" : "LinkTest";
    const std::string hex = vmcu::sketch(sketch).string();
    auto r = flash(sketch);
    ASSERT_EQ(r.status, 0) << r.err;
    tool.push_back(r.seconds);
    ASSERT_TRUE(waitStarts(2 * i + 2, 3000)) << chip->log();

    board->gpioMode(23, 1);
    board->gpioWrite(23, 0);
    board->gpioWrite(23, 1);
    r = bench::run(*board, runOptions({"/usr/bin/avrdude", "-C", "/etc/avrdude.conf", "-q", "-q", "-p", "atmega328p", "-c",
                                       "arduino", "-P", "/dev/ttyAMA0", "-b", "115200", "-D", "-V",
                                       "-Uflash:w:" + hex + ":i"}));
    board->gpioWrite(23, 0);
    ASSERT_EQ(r.status, 0) << r.err;
    bare.push_back(r.seconds);
    ASSERT_TRUE(waitStarts(2 * i + 3, 3000)) << chip->log();
  }
  const double ratio = median(tool) / median(bare);
  std::printf("mcuflash %.3f s, bare avrdude %.3f s (medians of 5), ratio %.2f\n", median(tool), median(bare), ratio);
  RecordProperty("mcuflash_s", std::to_string(median(tool)));
  RecordProperty("avrdude_s", std::to_string(median(bare)));
  RecordProperty("ratio", std::to_string(ratio));
  EXPECT_GT(ratio, 1.0);
  EXPECT_LT(ratio, 1.5);
}

}  // namespace
