// The loader as pinwait starts it, with a scripted mcuflash found first on PATH.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "bench.h"

namespace {


class Loader : public ::testing::Test {
 protected:
  // Runs the loader with `args`; the flasher it reaches shows each argument in brackets,
  // says something on standard error and ends with `status`.
  bench::RunResult load(const std::vector<std::string>& args, int status) {
    const auto flasher = tmp_.path() / "mcuflash";
    std::ofstream(flasher) << "#!/bin/sh\nprintf '[%s]' \"$@\"\necho\necho 'flasher complaint' >&2\nexit " << status
                           << "\n";
    std::filesystem::permissions(flasher, std::filesystem::perms::owner_all);
    const char* script = "PATH=/home/pi/flasher:$PATH; exec /home/pi/bin/mcuload \"$@\"";
    bench::RunOptions runOptions{.argv = {"/bin/sh", "-c", script, "sh"}};
    runOptions.argv.insert(runOptions.argv.end(), args.begin(), args.end());
    runOptions.files[bench::kLoader] = MCULOAD;
    runOptions.files["/home/pi/flasher/mcuflash"] = flasher;
    return bench::run(*board_, runOptions);
  }
  std::vector<std::vector<std::string>> commands() const { return board_.get().commands(); }

  bench::TempDir tmp_;
  bench::ScratchBoard board_;
};

}  // namespace

TEST_F(Loader, UploadsTheFileWithTheFlasherAsRoot) {
  auto r = load({bench::kWaitSketch}, 0);
  EXPECT_EQ(r.out, std::string("[") + bench::kWaitSketch + "]\n");
  EXPECT_EQ(r.err, "flasher complaint\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(commands(), (std::vector<std::vector<std::string>>{{"sudo", "mcuflash", bench::kWaitSketch}}));
}

TEST_F(Loader, PassesOnTheFlashersStatus) {
  for (int status : {255, 3, 1}) {
    auto r = load({bench::kWaitSketch}, status);
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, std::string("[") + bench::kWaitSketch + "]\n");
  }
}

TEST_F(Loader, APathWithBlanksStaysOneWord) {
  auto r = load({"/home/pi/my sketches/a;b.hex"}, 0);
  EXPECT_EQ(r.out, "[/home/pi/my sketches/a;b.hex]\n");
  EXPECT_EQ(commands(), (std::vector<std::vector<std::string>>{{"sudo", "mcuflash", "/home/pi/my sketches/a;b.hex"}}));
}
