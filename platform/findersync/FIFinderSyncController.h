// What the extension tells Finder: badge images, the badge of each item, the folders it
// observes. Process-wide and thread-safe; URLs are absolute paths. Each call becomes one
// message to Finder, sent at once on the calling thread; calls made before the runtime has
// connected are held and sent when it does, calls after it has disconnected are dropped.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace platform::findersync {

class ExtensionSession;

class FIFinderSyncController {
 public:
  static FIFinderSyncController& defaultController();

  void setBadgeImage(const std::string& imagePath, const std::string& label,
                     const std::string& badgeIdentifier);
  // An empty identifier removes the badge.
  void setBadgeIdentifier(const std::string& badgeIdentifier, const std::string& url);
  // What the extension last set.
  std::set<std::string> directoryURLs() const;
  void setDirectoryURLs(const std::set<std::string>& urls);
  // The selection of the Finder window the menu was asked for, in Finder's order.
  std::vector<std::string> selectedItemURLs() const;
  // Asks Finder to show where the user switches extensions on and off.
  static void showExtensionManagementInterface();

  FIFinderSyncController(const FIFinderSyncController&) = delete;
  FIFinderSyncController& operator=(const FIFinderSyncController&) = delete;

 private:
  // Only the runtime's session connects the controller to Finder and feeds it the selection.
  friend class ExtensionSession;
  // Sends one encoded message (a line without its newline); false when it could not.
  using Sender = std::function<bool(const std::string& line)>;

  FIFinderSyncController() = default;

  void send(std::string line);
  void attach(Sender sender);
  void detach();
  void setSelectedItemURLs(std::vector<std::string> urls);

  enum class Link { NotYet, Attached, Detached };

  mutable std::mutex mutex_;
  Link link_ = Link::NotYet;
  Sender sender_;
  // Messages from before the first connection, in order.
  std::vector<std::string> held_;
  std::set<std::string> directoryURLs_;
  std::vector<std::string> selection_;
};

}  // namespace platform::findersync
