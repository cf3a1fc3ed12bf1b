// The principal object of a Finder Sync extension and the menus it hands to Finder.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform::findersync {

enum class MenuKind {
  ContextualMenuForItems,
  ContextualMenuForContainer,
  ContextualMenuForSidebar,
  ToolbarItemMenu
};

// Members carry initialisers so that brace-initialising only the first few stays warning-free.
struct MenuItem {
  std::string title = {};
  // Runs on a thread of the runtime's choosing when the user picks the item.
  std::function<void()> action = {};
  bool enabled = true;
  std::string keyEquivalent = {};
};

struct Menu {
  std::vector<MenuItem> items;
};

// The extension subclasses it; Finder (the stand-in) creates instances through the factory
// given to runExtension(), possibly several over the life of the process. Calls arrive on
// threads of the runtime's choosing (not the main thread), possibly concurrently.
class FIFinderSync {
 public:
  virtual ~FIFinderSync() = default;
  virtual void beginObservingDirectoryAtURL(const std::string& url) { (void)url; }
  virtual void endObservingDirectoryAtURL(const std::string& url) { (void)url; }
  virtual void requestBadgeIdentifierForURL(const std::string& url) { (void)url; }
  virtual std::optional<Menu> menuForMenuKind(MenuKind kind) {
    (void)kind;
    return std::nullopt;
  }
};

}  // namespace platform::findersync
