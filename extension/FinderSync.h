// The extension's principal object: Finder creates it and calls it for folders it shows, for
// the badge of each item, and for the context menu. The shared state lives in the request
// client and is replayed into every new instance.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RequestManager.h"
#include "ZVFileManager.h"
#include "findersync/FinderSync.h"

class FinderSync : public platform::findersync::FIFinderSync,
                   public std::enable_shared_from_this<FinderSync> {
 public:
  FinderSync();

  void beginObservingDirectoryAtURL(const std::string& url) override;
  void requestBadgeIdentifierForURL(const std::string& url) override;
  std::optional<platform::findersync::Menu> menuForMenuKind(
      platform::findersync::MenuKind kind) override;

  void menuAction();
  std::vector<std::string> currentSelectedURLs() const;
  std::shared_ptr<RequestManager> requestManager() const { return RequestManager::sharedInstance(); }

 private:
  ZVFileManager zvFileManager_;
};
