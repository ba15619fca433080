#include <stdlib.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <system_error>

#include "bench.h"
#include "standins/avrdude-recorder.h"
#include "standins/mcuload-recorder.h"
#include "standins/xterm-recorder.h"

namespace fs = std::filesystem;

namespace bench {

fs::path toolDir() { return ORVIX_TOOL_DIR; }
fs::path standInDir() { return BENCH_STANDIN_DIR; }

std::map<std::string, fs::path> setUpPi() {
  const std::map<std::string, fs::path> provided = {{kAvrdude, "/usr/bin/avrdude"},
                                                    {kAvrdudeConf, "/etc/avrdude.conf"},
                                                    {kLoader, BENCH_LOADER},
                                                    {kWaitSketch, BENCH_WAIT_SKETCH}};
  std::map<std::string, fs::path> present;
  std::error_code ec;
  for (const auto& [path, file] : provided)
    if (fs::is_regular_file(file, ec)) present.emplace(path, file);
  return present;
}

void bindStandIn(RunOptions& options, const std::string& fixedPath) {
  const std::map<std::string, const char*> recorders = {
      {kAvrdude, programmer::kProgram}, {kLoader, loader::kProgram}, {kXterm, window::kProgram}};
  const auto recorder = recorders.find(fixedPath);
  if (recorder == recorders.end()) throw std::invalid_argument("bindStandIn: no stand-in for " + fixedPath);
  options.files[fixedPath] = standInDir() / recorder->second;
}

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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
