// pinwait's outside program, the loader: with its sketch missing pinwait announces the upload,
// closes the port, runs the loader through the shell and ends with 254 whatever the loader did;
// only a shell that cannot start gives "NO uploaded sketch!". A loader that is missing, or whose
// upload is killed, is not noticed.
#include <gtest/gtest.h>
#include <signal.h>

#include "bench.h"

namespace {

namespace programmer = bench::programmer;

const std::string kAnnouncement = std::string("\nNo sketch ") + bench::kWaitSketch + ". Uploading...\n";

class PinwaitLoader : public ::testing::Test, protected programmer::Fixture {
 protected:
  // pinwait waiting for a digital pin, on a line whose sketch is another one.
  bench::RunOptions pinwaitOptions() {
    auto s = uploadOptions({"pinwait", "-dig", "6", "1"});
    s.lines["/dev/ttyAMA0"] = other.line.slavePath();
    s.timeoutMs = 15000;
    return s;
  }
  bench::Sketch other{"OtherSketch\n"};
};

}  // namespace

TEST_F(PinwaitLoader, AMissingLoaderIsNotNoticed) {
  auto r = bench::run(*board, pinwaitOptions());
  campaign::expectSound(r);
  EXPECT_EQ(r.out, kAnnouncement);
  EXPECT_EQ(r.status, 254);
  EXPECT_NE(r.err.find(bench::kLoader), std::string::npos) << "the shell's complaint: " << r.err;
}

// The loader of the suite, uploading with mcuflash, whose programmer is killed mid-upload: the
// loader passes on mcuflash's failure, pinwait ends as it always does, and the line is low.
TEST_F(PinwaitLoader, AnUploadKilledMidRunIsNotNoticed) {
  auto s = pinwaitOptions();
  s.files[bench::kLoader] = MCULOAD;
  s.files[bench::kWaitSketch] = work.path() / programmer::kSketchFile;
  programmer::plan(board->dir(), 5000, 0);
  bench::Process p(*board, s);
  const auto started = waitStarted();
  ASSERT_GT(started.pid, 0);
  ASSERT_GE(started.argv.size(), 16u);
  EXPECT_EQ(started.argv[15], std::string("-Uflash:w:") + bench::kWaitSketch + ":i");
  const std::int64_t killed = bench::monotonicMicros();
  kill(started.pid, SIGKILL);
  auto r = p.wait();
  campaign::expectSound(r);
  EXPECT_EQ(r.out, kAnnouncement);
  EXPECT_EQ(r.status, 254);
  EXPECT_LT(bench::msBetween(killed, r.endUs), 1000);
  expectLineLoweredAfter(killed);
}
