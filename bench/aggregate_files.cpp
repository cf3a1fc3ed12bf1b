// Expands the paths given as arguments into their files with ZVFileManager::fileAggregation,
// prints how many it found and exits: the whole-process side of aggregation_bench.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ZVFileManager.h"
#include "dispatch/RunLoop.h"

int main(int argc, char** argv) {
  using namespace std::chrono_literals;
  ::setenv("PELLORA_LOG", "none", 1);
  const std::vector<std::string> paths(argv + 1, argv + argc);
  auto manager = std::make_shared<ZVFileManager>();
  bool done = false, failed = false;
  size_t files = 0;
  manager->fileAggregation(paths, [&](FileList urls, std::optional<ZVError> error) {
    files = urls.size();
    failed = error.has_value();
    done = true;
  });
  if (!platform::dispatch::RunLoop::main()->runUntil([&] { return done; }, 600s)) return 2;
  std::printf("%zu\n", files);
  return failed ? 1 : 0;
}
