// The host's side of the conversation with Finder Sync extensions, shared by the file managers
// that host them (the Finder stand-in, the Nautilus adapter): per connected extension its
// observed folders, the badge of each item and its badge images; the folders the file manager
// shows; the selection; menus asked for a selection and the clicks on their items. What changes
// is told to an observer. Lives on its HostLoop's thread.
//
// It keeps no windows or folder watches: the file manager says which folders it shows, which
// items appeared (requestBadge) and which went (itemRemoved).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "HostLoop.h"
#include "dispatch/SequenceChecker.h"
#include "findersync/FIFinderSync.h"
#include "findersync/Protocol.h"

namespace pellora::host {

struct BadgeImage {
  std::string extension;
  std::string badge;
  std::string label;
  std::string image;
};

// One item of a menu as the host shows it, with what a click on it needs.
struct MenuChoice {
  std::string extension;
  uint64_t connection = 0;
  uint64_t menu = 0;
  size_t index = 0;
  std::vector<std::string> selection;
  platform::findersync::message::MenuEntry entry;
};

class ExtensionHost {
 public:
  using Clock = HostLoop::Clock;

  class Observer {
   public:
    virtual ~Observer() = default;
    // The badge shown on path changed: set, replaced, removed, or dropped with its extension.
    virtual void badgeChanged(const std::string& path) = 0;
    // The folders an extension observes changed; shown folders it now covers have been told
    // again (beginObserving, a badge request per item).
    virtual void observedChanged() = 0;
  };
  // The merged items of the extensions that answered, in identifier order; empty for none.
  using MenuDone = std::function<void(std::vector<MenuChoice> items)>;

  ExtensionHost(HostLoop& loop, Observer& observer);
  ~ExtensionHost();
  ExtensionHost(const ExtensionHost&) = delete;
  ExtensionHost& operator=(const ExtensionHost&) = delete;

  // An extension process has started: talks to it over fd (taken) and asks it for a principal.
  void connect(const std::string& identifier, int fd);
  // Forgets the extension's connection and everything it told the host.
  void disconnect(const std::string& identifier);
  bool isConnected(const std::string& identifier) const;
  // Has the extension create another principal object; false when it is not connected.
  bool newPrincipal(const std::string& identifier);

  // The file manager shows folder: each extension observing it gets beginObserving once (until
  // hide) and a badge request for every item in it, in name order.
  void show(const std::string& folder);
  // The folder is no longer shown: endObserving to the extensions told; its items' badges go.
  void hide(const std::string& folder);
  bool isShown(const std::string& folder) const;
  // Asks the extensions observing path for its badge.
  void requestBadge(const std::string& path);
  // The item at path has gone: the badges set on it are dropped.
  void itemRemoved(const std::string& path);

  // The selection changed: every connected extension is told, and each that connects later
  // hears it after its principal request.
  void sendSelection(std::vector<std::string> selection);
  const std::vector<std::string>& selection() const { return selection_; }

  // True when path is at or below a folder a connected extension observes.
  bool isObserved(const std::string& path) const;
  std::set<std::string> observed() const;
  // The badge shown on path; empty when none.
  std::string badgeOf(const std::string& path) const;
  // The image an extension registered for badge, if one did.
  std::optional<BadgeImage> imageFor(const std::string& badge) const;
  // Every badge image of the connected extensions, by extension and badge identifier.
  std::vector<BadgeImage> badgeImages() const;
  // How often extensions asked for the extension management interface.
  size_t managementRequests() const { return managementRequests_; }

  // Asks the extensions concerned (observing a selected item; every one for the toolbar) for
  // their menus; done gets the merged items once all have answered or the timeout has passed
  // (on the loop's thread).
  void menu(platform::findersync::MenuKind kind, std::vector<std::string> selection,
            Clock::duration timeout, MenuDone done);
  // Runs item choice: its extension gets the item's selection, then the click. False (with
  // error) when the item is disabled or its extension's connection is gone.
  bool click(const MenuChoice& choice, std::string& error);

 private:
  struct Extension;
  struct PendingMenu;

  void handle(const std::string& identifier, uint64_t connection, const nlohmann::json& m);
  void onDirectoryURLs(Extension& e, std::set<std::string> urls);
  void onMenuReply(const std::string& identifier, const nlohmann::json& m);
  // Tells e about a shown folder: beginObserving, then a badge request per item.
  void observeShown(Extension& e, const std::string& folder);
  void finishMenu(uint64_t request);
  void send(Extension& e, const nlohmann::json& m);
  // Drops e's badges on the paths drop() picks, telling the observer.
  void dropBadges(Extension& e, const std::function<bool(const std::string&)>& drop);

  HostLoop& loop_;
  Observer& observer_;
  platform::dispatch::SequenceChecker sequence_;
  std::map<std::string, std::unique_ptr<Extension>> extensions_;
  std::set<std::string> shown_;
  std::vector<std::string> selection_;
  std::map<uint64_t, std::unique_ptr<PendingMenu>> pendingMenus_;
  uint64_t nextId_ = 1;
  size_t managementRequests_ = 0;
};

}  // namespace pellora::host
