// Request dispatch: turns request text from a Finder extension into actions and into the one
// answer frame, and hands bring-online requests to the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

extern "C" {
// Answers one hand-over of request text: {"command":"setFileIcons","value":{...}}, or the empty
// text when the answer cannot be encoded. The text stays valid until this thread calls again.
const char* commandQuery(const char* request);
}

std::string commandQueryText(const std::string& request);

// What the dispatcher needs of the shared bring-online controller.
class BringFilesOnline {
 public:
  virtual ~BringFilesOnline() = default;
  // Must call completion exactly once, on the main queue.
  virtual void bringFilesOnline(const std::vector<std::string>& paths,
                                std::function<void()> completion) = 0;
};

class ExtensionHelper {
 public:
  ExtensionHelper() = delete;

  // Reads "paths" and queues the request for the main queue; ignores a request without them.
  static void bringFilesFrom(const nlohmann::json& json);

  // Guards queuedRequests (and, for the hand-over check, the presence of the controller).
  static std::mutex& requestsLock();
  static int queuedRequests;
  // Main queue only.
  static int64_t lastRequest;
  static std::shared_ptr<BringFilesOnline> fileProcessController;

  // Set up by the service at start: how to build the shared controller, and where folder visits
  // and network-access reports go. Unset hooks make the requests no-ops.
  static std::function<std::shared_ptr<BringFilesOnline>()> makeFileProcessController;
  static std::function<void(const std::string& folderPath)> openedDirHandler;
  static std::function<void(const std::string& value)> networkAccessHandler;
};
