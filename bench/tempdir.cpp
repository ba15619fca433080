#include <stdlib.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "bench.h"

namespace fs = std::filesystem;

namespace bench {

fs::path toolDir() { return ORVIX_TOOL_DIR; }
fs::path standInDir() { return BENCH_STANDIN_DIR; }

TempDir::TempDir() {
  std::string name = (fs::temp_directory_path() / "vboard.XXXXXX").string();
  if (!mkdtemp(name.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

}  // namespace bench
