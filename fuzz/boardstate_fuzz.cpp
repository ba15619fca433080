// The board's state file as the tools find it: any bytes in dir/state, then the calls a tool
// makes through the simulated wiringPi (the clock read over I2C, the button read).
// A corrupted file must not crash or hang a tool: it is refused with an error, or read; and
// what the board writes back must read back as itself: loading the saved state and saving it
// again gives the same file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "board.h"
#include "harness.h"

namespace {

std::filesystem::path dir;

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dir = fuzz::scratchDir() / "board";
  simboard::Board::create(dir);  // the folder, marked as a board
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return -1;
  {
    std::ofstream state(dir / "state", std::ios::binary | std::ios::trunc);
    state.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::filesystem::remove(dir / "trace");
  auto board = simboard::Board::open(dir);
  fuzz::require(board.has_value(), "a board with a state file opens");

  // Calls that only read the state: the clock as it ticks, the button. A state that cannot
  // be read is refused here, with its reason.
  try {
    (void)board->rtcRegisters();
  } catch (const std::runtime_error& e) {
    fuzz::require(std::string(e.what()).find("damaged board state") != std::string::npos, "a refusal says why");
    return 0;
  }
  (void)board->gpioRead(24);

  // A call that saves the state without changing it (a read on a handle never given out),
  // twice: the second save must write what the first wrote.
  (void)board->i2cRead(-1, 0);
  const std::string saved = readFile(dir / "state");
  (void)board->i2cRead(-1, 0);
  fuzz::require(readFile(dir / "state") == saved, "the saved state reads back as itself");

  // The clock read over I2C, as the clock tools do: the fault count and the tick.
  const int handle = board->i2cSetup(simboard::kRtcAddress);
  if (handle >= 0) {
    (void)board->i2cRead(handle, 0);
    close(handle);
  }
  return 0;
}
