// Any bytes as a frame from the service: the extension's request client must neither crash nor
// misbehave, whatever the service (or something posing as it) sends.
#include <cstddef>
#include <cstdint>
#include <string>

#include "RequestManager.h"
#include "dispatch/Queue.h"
#include "dispatch/RunLoop.h"

namespace {

// Finder, as far as the request client can tell.
class NullFinder : public FinderSyncTarget {
 public:
  void setBadgeImage(const std::string&, const std::string&, const std::string&) override {}
  void setBadgeIdentifier(const std::string&, const std::string&) override {}
  std::set<std::string> directoryURLs() override { return directories; }
  void setDirectoryURLs(const std::set<std::string>& urls) override { directories = urls; }
  std::set<std::string> directories;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static NullFinder finder;
  static auto manager = RequestManager::create(finder);
  manager->executeCommand(std::string(reinterpret_cast<const char*>(data), size));
  // Observed folders are set on the main queue; serve what was posted so that it does not pile
  // up: work runs in order, so once the marker ran, everything before it did.
  bool served = false;
  platform::dispatch::mainQueue()->async([&] { served = true; });
  platform::dispatch::RunLoop::main()->runUntil([&] { return served; }, std::chrono::seconds(5));
  return 0;
}
