// Finder's own state on top of the host of the extensions (host::ExtensionHost, which keeps what
// each extension told it): the open windows (folders) with their folder watches, the selection,
// the menu shown last, the waits for a badge, and the windows' view options and previews. Lives
// on its host loop's thread, the main thread (the folder watches post to the main queue).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ExtensionHost.h"
#include "HostLoop.h"
#include "ViewOptions.h"
#include "dispatch/SequenceChecker.h"
#include "findersync/FIFinderSync.h"

namespace pellora::finder {

struct ListedItem {
  std::string badge;  // empty: no badge
  std::string name;
};

class Finder : private host::ExtensionHost::Observer {
 public:
  // The menu shown, merged from the extensions that answered; empty when none offered one.
  using MenuDone = std::function<void(std::vector<host::MenuChoice> menu)>;

  explicit Finder(host::HostLoop& loop);
  ~Finder() override;
  Finder(const Finder&) = delete;
  Finder& operator=(const Finder&) = delete;

  // The extensions' side: connections, observed folders, badges and badge images.
  host::ExtensionHost& host() { return host_; }
  const host::ExtensionHost& host() const { return host_; }

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

  // Sets the selection and tells every connected extension (and those that connect later).
  void select(std::vector<std::string> paths);
  const std::vector<std::string>& selection() const { return host_.selection(); }

  // Asks the extensions concerned (observing a selected item; every one for the toolbar) for
  // their menus and hands the merged menu to done once all have answered or the timeout passed.
  void menu(platform::findersync::MenuKind kind, MenuDone done);
  // Clicks item index of the menu shown last; the item's title, or nothing (with error).
  std::optional<std::string> click(size_t index, std::string& error);

  // Calls done(true) once path shows badge (empty: no badge), done(false) after timeout.
  void waitBadge(const std::string& path, const std::string& badge,
                 std::chrono::milliseconds timeout, std::function<void(bool)> done);

  void setMenuTimeout(std::chrono::milliseconds timeout) { menuTimeout_ = timeout; }

 private:
  struct Window;
  struct BadgeWaiter;

  // host::ExtensionHost::Observer
  void badgeChanged(const std::string& path) override;
  void observedChanged() override {}

  void rescan(const std::string& folder);

  host::HostLoop& loop_;
  platform::dispatch::SequenceChecker sequence_;
  host::ExtensionHost host_;
  std::map<std::string, std::unique_ptr<Window>> windows_;
  std::vector<host::MenuChoice> shown_;
  std::map<uint64_t, std::unique_ptr<BadgeWaiter>> waiters_;
  uint64_t nextWaiter_ = 1;
  size_t previewsMade_ = 0;
  ViewOptionsStore viewOptions_;
  std::chrono::milliseconds menuTimeout_{5000};
};

}  // namespace pellora::finder
