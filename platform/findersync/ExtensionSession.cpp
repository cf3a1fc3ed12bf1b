#include "findersync/ExtensionSession.h"

#include <unistd.h>

#include <atomic>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <utility>

#include "dispatch/Queue.h"
#include "findersync/Channel.h"
#include "findersync/FIFinderSyncController.h"
#include "findersync/Protocol.h"
#include "log/Log.h"

namespace platform::findersync {
namespace {

const log::Log& sessionLog() {
  static const log::Log log("platform", "findersync");
  return log;
}

// Clicks name a menu Finder showed lately; older menus (and their actions) are let go.
constexpr size_t kMenusKept = 16;

// Extension code must not take the runtime's threads down with it.
template <class F>
void guarded(const char* what, F&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    sessionLog().errorf("The extension threw from %s: %s", what, e.what());
  } catch (...) {
    sessionLog().errorf("The extension threw from %s", what);
  }
}

}  // namespace

struct ExtensionSession::State {
  int fd = -1;  // until start() hands it to the channel
  MakePrincipal makePrincipal;
  std::unique_ptr<Channel> channel;
  std::atomic<bool> attached{false};
  // Messages are handled here, in order; principal creation runs here too, so a call that
  // follows a creation reaches the new principal.
  std::shared_ptr<dispatch::Queue> delivery = dispatch::makeSerialQueue("findersync.delivery");

  mutable std::mutex mutex;
  std::shared_ptr<FIFinderSync> principal;
  size_t principals = 0;
  std::deque<std::pair<uint64_t, std::vector<std::function<void()>>>> menus;

  std::shared_ptr<FIFinderSync> current() {
    std::lock_guard lock(mutex);
    return principal;
  }

  void handle(const nlohmann::json& m, const std::shared_ptr<State>& self);
  void createPrincipal();
  void answerMenu(uint64_t id, MenuKind kind, const std::shared_ptr<FIFinderSync>& p);
  void click(uint64_t menu, uint64_t index);
};

void ExtensionSession::State::createPrincipal() {
  std::shared_ptr<FIFinderSync> made;
  guarded("its principal factory", [&] { made = makePrincipal ? makePrincipal() : nullptr; });
  if (!made) {
    sessionLog().error("The extension made no principal object");
    return;
  }
  // The previous principal goes once the calls it is serving have finished.
  std::lock_guard lock(mutex);
  principal = std::move(made);
  ++principals;
}

void ExtensionSession::State::handle(const nlohmann::json& m, const std::shared_ptr<State>& self) {
  const std::string op = message::text(m, "op");
  if (op == "makePrincipal") {
    createPrincipal();
    return;
  }
  if (op == "selection") {
    FIFinderSyncController::defaultController().setSelectedItemURLs(message::texts(m, "urls"));
    return;
  }
  if (op == "click") {
    const auto menu = message::number(m, "menu");
    const auto index = message::number(m, "index");
    if (menu && index) click(*menu, *index);
    return;
  }
  const auto p = current();
  const auto global = dispatch::globalQueue();
  if (op == "menu") {
    const auto id = message::number(m, "id");
    const auto kind = message::menuKindFromName(message::text(m, "kind"));
    if (!id || !kind) {
      sessionLog().error("Dropping a menu request without an id or a known kind");
      return;
    }
    // The selection belongs to this request; it is in place before the principal is asked.
    FIFinderSyncController::defaultController().setSelectedItemURLs(message::texts(m, "selection"));
    global->async([weak = std::weak_ptr<State>(self), id = *id, kind = *kind, p] {
      if (auto state = weak.lock()) state->answerMenu(id, kind, p);
    });
    return;
  }
  if (op != "beginObserving" && op != "endObserving" && op != "requestBadge") {
    sessionLog().errorf("Ignoring an unknown message \"%s\"", op.c_str());
    return;
  }
  if (!p) {
    sessionLog().errorf("No principal object for \"%s\"", op.c_str());
    return;
  }
  const std::string url = message::text(m, "url");
  if (op == "beginObserving") {
    global->async([p, url] {
      guarded("beginObservingDirectoryAtURL", [&] { p->beginObservingDirectoryAtURL(url); });
    });
  } else if (op == "endObserving") {
    global->async([p, url] {
      guarded("endObservingDirectoryAtURL", [&] { p->endObservingDirectoryAtURL(url); });
    });
  } else {
    global->async([p, url] {
      guarded("requestBadgeIdentifierForURL", [&] { p->requestBadgeIdentifierForURL(url); });
    });
  }
}

void ExtensionSession::State::answerMenu(uint64_t id, MenuKind kind,
                                         const std::shared_ptr<FIFinderSync>& p) {
  std::optional<Menu> menu;
  if (p) guarded("menuForMenuKind", [&] { menu = p->menuForMenuKind(kind); });
  if (menu) {
    std::vector<std::function<void()>> actions;
    for (auto& item : menu->items) actions.push_back(item.enabled ? item.action : nullptr);
    std::lock_guard lock(mutex);
    menus.emplace_back(id, std::move(actions));
    while (menus.size() > kMenusKept) menus.pop_front();
  }
  channel->send(message::menuReply(id, menu));
}

void ExtensionSession::State::click(uint64_t menu, uint64_t index) {
  std::function<void()> action;
  {
    std::lock_guard lock(mutex);
    for (const auto& [id, actions] : menus) {
      if (id == menu && index < actions.size()) action = actions[index];
    }
  }
  if (!action) {
    sessionLog().errorf("Ignoring a click on item %llu of menu %llu: no such enabled item",
                        static_cast<unsigned long long>(index),
                        static_cast<unsigned long long>(menu));
    return;
  }
  dispatch::globalQueue()->async([action] { guarded("a menu item's action", action); });
}

ExtensionSession::ExtensionSession(int fd, MakePrincipal makePrincipal)
    : state_(std::make_shared<State>()) {
  state_->fd = fd;
  state_->makePrincipal = std::move(makePrincipal);
}

ExtensionSession::~ExtensionSession() {
  stop();
  // Never started: the socket is still ours to close.
  if (state_->fd >= 0) ::close(state_->fd);
}

void ExtensionSession::start(std::function<void()> onClosed) {
  if (state_->fd < 0) return;
  std::weak_ptr<State> weak = state_;
  auto delivery = state_->delivery;
  Channel::Handlers handlers;
  // Handlers reach the state weakly: the channel lives inside it.
  handlers.message = [weak](const nlohmann::json& m) {
    if (auto state = weak.lock()) state->handle(m, state);
  };
  handlers.closed = [weak, onClosed = std::move(onClosed)] {
    if (auto state = weak.lock(); state && state->attached.exchange(false)) {
      FIFinderSyncController::defaultController().detach();
    }
    if (onClosed) onClosed();
  };
  // The channel reads from the moment it is made, and the controller can attach only to a
  // channel that exists. Doing both in one turn of the delivery queue holds Finder's first
  // messages back until the controller is attached; otherwise a principal could answer while
  // the controller is still detached from an earlier session (the answer is dropped), attaching
  // could reset a selection Finder had just sent, or an early end could leave it attached.
  delivery->sync([&] {
    state_->channel = std::make_unique<Channel>(
        std::exchange(state_->fd, -1),
        [delivery](dispatch::Work w) { delivery->async(std::move(w)); }, std::move(handlers));
    state_->attached = true;
    FIFinderSyncController::defaultController().attach([weak](const std::string& line) {
      auto state = weak.lock();
      return state && state->channel->sendLine(line);
    });
  });
}

void ExtensionSession::stop() {
  if (state_->attached.exchange(false)) FIFinderSyncController::defaultController().detach();
  if (state_->channel) state_->channel->close();
}

size_t ExtensionSession::principalCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->principals;
}

}  // namespace platform::findersync
