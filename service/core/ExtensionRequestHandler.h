// What request dispatch needs of the service's application layer: the shared bring-online
// controller, and where the extensions' folder visits and network-access reports go. The owner
// of the dispatcher hands one in; what it does not override is ignored.
#pragma once

#include <memory>
#include <string>

#include "core/BringFilesOnline.h"

class ExtensionRequestHandler {
 public:
  virtual ~ExtensionRequestHandler() = default;
  // Main queue: a new shared bring-online controller; null leaves the request undone.
  virtual std::shared_ptr<BringFilesOnline> makeFileProcessController() { return nullptr; }
  // A client's thread: Finder shows this folder. Must not block; post the work elsewhere.
  virtual void openedDir(const std::string& /*folderPath*/) {}
  // A client's thread: "ok" or "blocked", from the extension's last read of a stub marker.
  // Must not block.
  virtual void networkAccess(const std::string& /*state*/) {}
};
