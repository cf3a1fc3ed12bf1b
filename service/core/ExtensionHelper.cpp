#include "core/ExtensionHelper.h"

#include "core/JsonText.h"
#include "core/ZavroMarkers.h"
#include "dispatch/Queue.h"
#include "text/Split.h"

int ExtensionHelper::queuedRequests = 0;
int64_t ExtensionHelper::lastRequest = 0;
std::shared_ptr<BringFilesOnline> ExtensionHelper::fileProcessController;
std::function<std::shared_ptr<BringFilesOnline>()> ExtensionHelper::makeFileProcessController;
std::function<void(const std::string&)> ExtensionHelper::openedDirHandler;
std::function<void(const std::string&)> ExtensionHelper::networkAccessHandler;

std::mutex& ExtensionHelper::requestsLock() {
  static std::mutex lock;
  return lock;
}

namespace {

const std::string* stringMember(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

}  // namespace

std::string commandQueryText(const std::string& request) {
  nlohmann::json icons = nlohmann::json::object();
  for (const std::string_view piece : platform::text::split(request, "\r\n")) {
    // Invalid JSON, invalid UTF-8 and non-objects are skipped without a word.
    const auto json = nlohmann::json::parse(piece.begin(), piece.end(), nullptr, false);
    if (json.is_discarded() || !json.is_object()) continue;
    const std::string* command = stringMember(json, "command");
    if (!command) continue;
    if (*command == "getFileIconId" || *command == "startObservingFolder") {
      const std::string* path = stringMember(json, "value");
      if (!path) continue;
      icons[*path] = verifyIsCachingFile(*path) ? "FileIconCache" : "FileIconNone";
    } else if (*command == "bringFileOnline") {
      ExtensionHelper::bringFilesFrom(json);
    } else if (*command == "openedDir") {
      const std::string* path = stringMember(json, "path");
      if (!path) continue;
      if (ExtensionHelper::openedDirHandler) ExtensionHelper::openedDirHandler(*path);
    } else if (*command == "networkAccess") {
      const std::string* value = stringMember(json, "value");
      if (!value) continue;
      if (ExtensionHelper::networkAccessHandler) ExtensionHelper::networkAccessHandler(*value);
    }
  }
  return compactJson({{"command", "setFileIcons"}, {"value", icons}});
}

extern "C" const char* commandQuery(const char* request) {
  return returnedText(commandQueryText(request ? request : ""));
}

void ExtensionHelper::bringFilesFrom(const nlohmann::json& json) {
  const auto it = json.find("paths");
  if (it == json.end() || !it->is_array()) return;
  std::vector<std::string> paths;
  for (const auto& p : *it) {
    if (!p.is_string()) return;
    paths.push_back(p.get<std::string>());
  }
  {
    std::lock_guard guard(requestsLock());
    ++queuedRequests;
  }
  platform::dispatch::mainQueue()->async([paths = std::move(paths)] {
    if (!fileProcessController && makeFileProcessController) {
      auto controller = makeFileProcessController();
      std::lock_guard guard(requestsLock());
      fileProcessController = std::move(controller);
    }
    {
      std::lock_guard guard(requestsLock());
      --queuedRequests;
    }
    const int64_t request = ++lastRequest;
    if (!fileProcessController) return;
    fileProcessController->bringFilesOnline(paths, [request] {
      // Only the newest request lets the shared controller go.
      if (lastRequest != request) return;
      std::shared_ptr<BringFilesOnline> done;
      std::lock_guard guard(requestsLock());
      done.swap(fileProcessController);
    });
  });
}
