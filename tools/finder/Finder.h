// Finder's state and its side of the conversation with extensions: the open windows (folders),
// the selection, and per connected extension its observed folders, the badge of each item and
// its badge images. Lives on the main thread: every call, every message from an extension and
// every folder change is handled there (the main run loop must be served).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dispatch/RunLoop.h"
#include "findersync/FIFinderSync.h"
#include "findersync/Protocol.h"
#include "ViewOptions.h"

namespace platform::dispatch {
class VnodeSource;
}
namespace platform::findersync {
class Channel;
}

namespace pellora::finder {

struct BadgeImage {
  std::string extension;
  std::string badge;
  std::string label;
  std::string image;
};

struct ListedItem {
  std::string badge;  // empty: no badge
  std::string name;
};

// One item of the menu shown last, merged from the extensions that answered.
struct ShownItem {
  std::string extension;
  platform::findersync::message::MenuEntry entry;
};

class Finder {
 public:
  using Clock = platform::dispatch::Clock;
  // The menu shown, or nothing when no extension offered one.
  using MenuDone = std::function<void(std::optional<std::vector<ShownItem>> menu)>;

  Finder();
  ~Finder();
  Finder(const Finder&) = delete;
  Finder& operator=(const Finder&) = delete;

  // An extension process has started: talks to it over fd (taken) and asks it for a principal.
  void connect(const std::string& identifier, int fd);
  // Forgets the extension's connection and everything it told Finder.
  void disconnect(const std::string& identifier);
  bool isConnected(const std::string& identifier) const;
  // Has the extension create another principal object; false when it is not connected.
  bool newPrincipal(const std::string& identifier);

  // Opens a window on folder: extensions observing it are told and asked for every item's badge.
  // Opening an open folder changes nothing. False (with error) when folder is not a folder.
  bool open(const std::string& folder, std::string& error);
  bool close(const std::string& folder, std::string& error);
  std::vector<std::string> openFolders() const;
  // The items of folder with their badges, in name order; nothing when it is not a folder.
  // While the folder's window shows icon previews, each file's preview is made from its first
  // bytes, as a thumbnailer reads them; otherwise no file content is read.
  std::optional<std::vector<ListedItem>> list(const std::string& folder);
  // How many file previews listing has made.
  size_t previewsMade() const { return previewsMade_; }

  // The window view options of every folder, as scripting sets them.
  ViewOptionsStore& viewOptions() { return viewOptions_; }
  // The badge Finder shows on path; empty when none.
  std::string badgeOf(const std::string& path) const;

  // Sets the selection and tells every connected extension.
  void select(std::vector<std::string> paths);
  const std::vector<std::string>& selection() const { return selection_; }

  // Asks the extensions concerned (observing a selected item; every one for the toolbar) for
  // their menus and hands the merged menu to done once all have answered or the timeout passed.
  void menu(platform::findersync::MenuKind kind, MenuDone done);
  // Clicks item index of the menu shown last; the item's title, or nothing (with error).
  std::optional<std::string> click(size_t index, std::string& error);

  // The folders the connected extensions observe.
  std::set<std::string> observed() const;
  std::vector<BadgeImage> badgeImages() const;
  // How often extensions asked for the extension management interface.
  size_t managementRequests() const { return managementRequests_; }

  // Calls done(true) once path shows badge (empty: no badge), done(false) after timeout.
  void waitBadge(const std::string& path, const std::string& badge,
                 std::chrono::milliseconds timeout, std::function<void(bool)> done);

  void setMenuTimeout(std::chrono::milliseconds timeout) { menuTimeout_ = timeout; }

 private:
  struct Extension;
  struct Window;
  struct PendingMenu;
  struct BadgeWaiter;

  void handle(const std::string& identifier, uint64_t connection, const nlohmann::json& m);
  void onDirectoryURLs(Extension& e, std::set<std::string> urls);
  void onMenuReply(const std::string& identifier, const nlohmann::json& m);
  // Tells e about window folder: beginObserving, then a badge request per item.
  void observeWindow(Extension& e, const std::string& folder);
  void rescan(const std::string& folder);
  void finishMenu(uint64_t request);
  void answerWaiters();
  void send(Extension& e, const nlohmann::json& m);

  std::shared_ptr<platform::dispatch::RunLoop> loop_;
  std::map<std::string, std::unique_ptr<Extension>> extensions_;
  std::map<std::string, std::unique_ptr<Window>> windows_;
  std::vector<std::string> selection_;
  std::vector<ShownItem> shown_;
  // For each item shown: the connection it came over, that connection's menu and the index there.
  struct ShownRef {
    uint64_t connection;
    uint64_t menu;
    size_t index;
  };
  std::vector<ShownRef> shownRefs_;
  std::map<uint64_t, std::unique_ptr<PendingMenu>> pendingMenus_;
  std::map<uint64_t, std::unique_ptr<BadgeWaiter>> waiters_;
  uint64_t nextId_ = 1;
  size_t managementRequests_ = 0;
  size_t previewsMade_ = 0;
  ViewOptionsStore viewOptions_;
  std::chrono::milliseconds menuTimeout_{5000};
};

}  // namespace pellora::finder
