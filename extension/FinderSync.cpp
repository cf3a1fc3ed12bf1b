#include "FinderSync.h"

#include <sys/stat.h>

#include "bundle/Bundle.h"
#include "log/Log.h"

namespace fs = platform::findersync;

namespace {

std::string mainBundlePath() {
  const auto bundle = platform::bundle::Bundle::main();
  return bundle ? bundle->path() : "(null)";
}

std::string localized(const std::string& key) {
  const auto bundle = platform::bundle::Bundle::main();
  return bundle ? bundle->localizedString(key) : key;
}

}  // namespace

FinderSync::FinderSync() {
  platform::log::classicf("Zavro FinderSync Integration launched from %s", mainBundlePath().c_str());
  auto manager = requestManager();
  manager->connect();
  auto& controller = fs::FIFinderSyncController::defaultController();
  const auto urls = manager->registeredUrls();
  if (!urls.empty()) controller.setDirectoryURLs(urls);
  const auto badges = manager->registeredBadges();
  if (badges.empty()) return;
  for (const auto& record : badges) {
    struct stat st {};
    if (::stat(record.path.c_str(), &st) != 0) {
      platform::log::classicf("Failed to register file badge. File not found: %s", record.path.c_str());
      continue;
    }
    controller.setBadgeImage(record.path, record.label, record.iconId);
  }
  manager->refreshBadges();
}

void FinderSync::beginObservingDirectoryAtURL(const std::string& url) {
  platform::log::classicf("%s. %s", "ZAVRO_LOG", ("Start observing folder: " + url).c_str());
  requestManager()->sendDirectoryOpenedAtURL(url);
}

void FinderSync::requestBadgeIdentifierForURL(const std::string& url) {
  requestManager()->requestFileBadgeId(url);
}

std::vector<std::string> FinderSync::currentSelectedURLs() const {
  return fs::FIFinderSyncController::defaultController().selectedItemURLs();
}

std::optional<fs::Menu> FinderSync::menuForMenuKind(fs::MenuKind /*kind: every kind alike*/) {
  platform::log::classicf("%s. %s", "ZAVRO_LOG", "menuForMenuKind called");
  const auto selection = currentSelectedURLs();
  if (selection.empty()) return std::nullopt;
  std::string key = "zavro_menu_bring_items";
  if (selection.size() == 1) {
    switch (zvFileManager_.isDir(selection.front())) {
      case ZVFileManager::Result::stubFile:
        key = "zavro_menu_bring_file";
        break;
      case ZVFileManager::Result::folder:
        key = "zavro_menu_bring_folder";
        break;
      case ZVFileManager::Result::onlineFile:
        key = "zavro_menu_file_online";
        break;
      case ZVFileManager::Result::missing:
        return std::nullopt;
    }
  }
  std::weak_ptr<FinderSync> weak = weak_from_this();
  fs::MenuItem item;
  item.title = localized(key);
  item.action = [weak] {
    if (auto self = weak.lock()) self->menuAction();
  };
  item.enabled = key != "zavro_menu_file_online";
  return fs::Menu{{item}};
}

void FinderSync::menuAction() { requestManager()->sendBringFilesOnlineWithURLs(currentSelectedURLs()); }
