// The request dispatch's names as the rest of the service knows them: the C-linkage
// commandQuery() and the static members of ExtensionHelper, thin adapters over the
// RequestDispatcher that the service installs at start.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "core/BringFilesOnline.h"
#include "core/RequestDispatcher.h"

extern "C" {
// Answers one hand-over of request text: {"command":"setFileIcons","value":{...}}, or the empty
// text when the answer cannot be encoded. The text stays valid until this thread calls again.
const char* commandQuery(const char* request);
}

std::string commandQueryText(const std::string& request);

class ExtensionHelper {
 public:
  ExtensionHelper() = delete;

  // The dispatcher behind the names below. The service installs its own at start and null
  // before it ends; without one, badges are answered and every other request is ignored.
  static void setDispatcher(std::shared_ptr<RequestDispatcher> dispatcher);
  static std::shared_ptr<RequestDispatcher> dispatcher();

  static void bringFilesFrom(const nlohmann::json& json) { dispatcher()->bringFilesFrom(json); }
  static int queuedRequests() { return dispatcher()->queuedRequests(); }
  static bool isIdle() { return dispatcher()->isIdle(); }
  // Main queue only.
  static int64_t lastRequest() { return dispatcher()->lastRequest(); }
  static std::shared_ptr<BringFilesOnline> fileProcessController() {
    return dispatcher()->fileProcessController();
  }
};
