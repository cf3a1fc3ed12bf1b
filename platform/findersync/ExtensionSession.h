// The extension's side of one connection to Finder: creates principal objects when Finder asks,
// hands Finder's calls to the newest one on the global concurrent queue, sends menus back and
// runs the actions of clicked items. While it runs, the process's controller sends through it.
// At most one session runs at a time (the controller is process-wide).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "findersync/FIFinderSync.h"

namespace platform::findersync {

class ExtensionSession {
 public:
  using MakePrincipal = std::function<std::shared_ptr<FIFinderSync>()>;

  // Takes fd, a connected stream socket to Finder.
  ExtensionSession(int fd, MakePrincipal makePrincipal);
  // Ends the connection (as stop()).
  ~ExtensionSession();
  ExtensionSession(const ExtensionSession&) = delete;
  ExtensionSession& operator=(const ExtensionSession&) = delete;

  // Starts serving and connects the controller. onClosed runs (on a runtime thread) when Finder
  // closes the connection or it fails.
  void start(std::function<void()> onClosed);
  // Disconnects the controller and closes the connection; calls already handed to the principal
  // may still finish.
  void stop();

  // How many principal objects Finder has had created so far.
  size_t principalCount() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform::findersync
