// Switches Finder's previews on or off for folders by scripting Finder: the folder's window's
// list, column and icon view options get showsIconPreview and showsPreviewColumn set to the
// state. A state is a control state value: 1 is on, every other value off. Every call blocks
// while Finder answers each scripting call (each with the scripting client's time-out); it runs
// on the calling thread. Progress and problems go to the delegate as texts; nothing is thrown
// or returned.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "finderscript/FinderApplication.h"

class FinderScriptManagerDelegate {
 public:
  virtual ~FinderScriptManagerDelegate() = default;
  virtual void finderScriptManagerDelegateUpdateMessage(const std::string& message) = 0;
};

// Finder as the system scripts it.
using ZVFinderApplication = platform::finderscript::FinderApplication;

class FinderScriptManager {
 public:
  static constexpr int kStateOn = 1;

  // A new manager scripting Finder ("com.apple.finder").
  static std::shared_ptr<FinderScriptManager> manager();
  FinderScriptManager();
  // Scripting the given Finder (tests give one on a socket of their own).
  explicit FinderScriptManager(std::shared_ptr<ZVFinderApplication> finderApp);

  // Held weakly. Set it before the first call.
  void setDelegate(std::weak_ptr<FinderScriptManagerDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  const std::shared_ptr<ZVFinderApplication>& finderApp() const { return finderApp_; }

  // Clears the cancel flag, applies state to rootFolder, then to every folder below it.
  void setPreviewState(int state, const std::string& rootFolder);
  // Applies state to every folder below rootURL, depth first in name order, leaving out hidden
  // items (and what is below them); stops before the next item once cancelled.
  void turnPreviewStateForSubFoldersOfRootURL(int state, const std::string& rootURL);
  // Applies state to the views of one folder.
  void turnPreviewStateForDirURL(int state, const std::string& dirURL);
  // Applies state to one view-option object; one that does not know showsIconPreview (or
  // none) is left alone. viewName, when given, names it in the texts to the delegate.
  void turnPreviewStateForViewOptionsObject(
      int state, const std::shared_ptr<platform::finderscript::FinderViewOptions>& object,
      const std::optional<std::string>& viewName);
  // Finder's folder at url (no call to Finder yet).
  std::shared_ptr<platform::finderscript::FinderFolder> folderFromURL(const std::string& url) const;
  // The folder's window's list, column and icon view options, in that order (an entry is null
  // when Finder did not answer for that view); empty when Finder cannot resolve the folder.
  std::vector<std::shared_ptr<platform::finderscript::FinderViewOptions>>
  viewOptiosObjectsFromFinderFolder(
      const std::shared_ptr<platform::finderscript::FinderFolder>& folder) const;
  // Every folder below url, in the walk's order (the cancel flag does not stop this walk).
  std::vector<std::string> allDirsOfRootURL(const std::string& url);

  // Thread-safe: a walk on another thread stops before its next item.
  void cancel() { cancelFlag_ = true; }
  bool cancelFlag() const { return cancelFlag_; }

 private:
  void send(const std::string& message);
  // Visits every folder below root in the walk's order; with stopWhenCancelled it ends before
  // the next item once the cancel flag is set.
  void walk(const std::string& root, bool stopWhenCancelled,
            const std::function<void(const std::string& dir)>& visit);

  std::atomic<bool> cancelFlag_{false};
  std::weak_ptr<FinderScriptManagerDelegate> delegate_;
  std::shared_ptr<ZVFinderApplication> finderApp_;
};
