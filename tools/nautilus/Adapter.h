// Pellora in Nautilus: plays the host's part for the Finder Sync extensions the plug-in registry
// has switched on, and maps Nautilus's extension calls onto the host's messages.
//  - Info provider: the first call for an item of a folder shows the folder to the extensions
//    (beginObserving, a badge request per item); each call asks for the item's badge. The call
//    is answered at once when the badge is known; otherwise it is held until the badge comes or
//    a short wait (counted from the folder's badge requests) has passed, and then answered
//    without an emblem. A badge that changes later (set, "FileIconNone", dropped) invalidates
//    the item's extension info, so Nautilus asks again and gets the new emblem or none.
//  - A folder that leaves Nautilus's open locations (OpenLocations.h), or whose items Nautilus
//    no longer holds, is no longer shown: endObserving, and its items are asked about again
//    when Nautilus shows them next.
//  - Menu provider: the selection's menu from the extensions, one item per entry with its
//    title and enabled state; activating one runs it as a click. Nautilus wants the items at
//    once: the adapter waits a short time for the answers and, when they come later, tells
//    Nautilus that the items changed.
//  - Previews: see PreviewHold.h.
// Everything runs on Nautilus's main thread.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ExtensionHost.h"
#include "ExtensionSupervisor.h"
#include "GLibLoop.h"
#include "OpenLocations.h"
#include "PreviewHold.h"

typedef struct _NautilusFileInfo NautilusFileInfo;
typedef struct _NautilusMenuProvider NautilusMenuProvider;
typedef struct _NautilusInfoProvider NautilusInfoProvider;
typedef struct _NautilusOperationHandle NautilusOperationHandle;
typedef struct _GClosure GClosure;
typedef struct _GList GList;
typedef struct _GObject GObject;

namespace pellora::nautilus {

// The emblem (an icon name of the icon theme) shown for a badge; empty for none.
std::string emblemForBadge(const std::string& badge);

class Adapter : private host::ExtensionHost::Observer {
 public:
  using Clock = host::HostLoop::Clock;
  struct Options {
    host::ExtensionSupervisor::Options supervisor;
    PreviewHold::Options preview;
    // How long an info request waits for a badge after the folder's requests went out.
    Clock::duration badgeWait = std::chrono::milliseconds(300);
    // How long a menu request waits for the extensions' answers.
    Clock::duration menuWait = std::chrono::milliseconds(500);
  };
  // What update_file_info answers.
  enum class Answer { Complete, InProgress };

  explicit Adapter(Options options);
  // Stops the extensions.
  ~Adapter();
  Adapter(const Adapter&) = delete;
  Adapter& operator=(const Adapter&) = delete;

  // Starts the extensions and the preview hold.
  void start();

  // NautilusInfoProvider.update_file_info; handle is set for InProgress.
  Answer updateFileInfo(NautilusInfoProvider* provider, NautilusFileInfo* file, GClosure* done,
                        NautilusOperationHandle** handle);
  void cancelUpdate(NautilusOperationHandle* handle);
  // NautilusMenuProvider.get_file_items: a new list of NautilusMenuItems, or null.
  GList* fileItems(NautilusMenuProvider* provider, GList* files);

  host::ExtensionHost& host() { return host_; }

 private:
  struct Pending;
  struct MenuWait;

  // ExtensionHost::Observer
  void badgeChanged(const std::string& path) override;
  void observedChanged() override;

  void track(NautilusFileInfo* file, const std::string& path);
  // The weak reference's notification: Nautilus let go of a file info.
  static void forget(void* data, GObject* gone);
  // Forgets file (its weak reference is the caller's business).
  void gone(GObject* file);
  // Applies the emblem of path's badge to file; true when there is one.
  bool applyEmblem(NautilusFileInfo* file, const std::string& path);
  void complete(uint64_t id);
  // Has Nautilus ask again about path's items (coalesced until the loop runs).
  void invalidate(const std::string& path);
  void flushInvalidations();
  void openLocationsChanged(const std::set<std::string>& folders);
  void hideFolder(const std::string& folder);
  void activate(const host::MenuChoice& choice);

  Options options_;
  host::GLibLoop loop_;
  host::ExtensionHost host_;
  host::ExtensionSupervisor supervisor_;
  PreviewHold preview_;
  OpenLocations openLocations_;
  std::set<std::string> lastOpen_;
  // The file infos Nautilus gave us, held weakly, by path; their count per folder.
  std::map<std::string, std::set<GObject*>> files_;
  std::map<GObject*, std::string> paths_;
  std::map<std::string, size_t> folderFiles_;
  // When each shown folder's badge requests went out.
  std::map<std::string, Clock::time_point> requested_;
  std::map<uint64_t, std::unique_ptr<Pending>> pending_;
  uint64_t nextPending_ = 1;
  std::set<std::string> invalid_;
  bool flushPosted_ = false;
  // Menus that came after Nautilus stopped waiting, by selection, for its next call.
  std::map<std::vector<std::string>, std::vector<host::MenuChoice>> lateMenus_;
  NautilusMenuProvider* menuProvider_ = nullptr;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace pellora::nautilus
