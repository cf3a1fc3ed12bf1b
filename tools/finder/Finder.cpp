#include "Finder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "FolderPaths.h"
#include "dispatch/Queue.h"
#include "dispatch/VnodeSource.h"
#include "findersync/Channel.h"
#include "log/Log.h"

namespace pellora::finder {

namespace findersync = platform::findersync;
namespace message = platform::findersync::message;
using platform::dispatch::RunLoop;

namespace {

const platform::log::Log& finderLog() {
  static const platform::log::Log log("com.zavro.Pellora", "Finder");
  return log;
}

// A preview is drawn from the start of a file's content. True when path is a file whose first
// bytes could be read (an empty file counts: there is nothing more to read).
bool makePreview(const std::string& path) {
  // Non-blocking: a FIFO among the items must not hold Finder.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  bool made = false;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    // A file is read as any reader would, waiting for its content.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    char head[512];
    ssize_t got;
    while ((got = ::read(fd, head, sizeof head)) < 0 && errno == EINTR) {
    }
    made = got >= 0;
    if (!made) finderLog().errorf("No preview of %s: %s", path.c_str(), std::strerror(errno));
  }
  ::close(fd);
  return made;
}

}  // namespace

struct Finder::Extension {
  std::string identifier;
  uint64_t connection = 0;
  std::unique_ptr<findersync::Channel> channel;
  std::set<std::string> observed;
  std::map<std::string, std::string> badges;  // item -> badge identifier
  std::map<std::string, BadgeImage> images;   // badge identifier -> image
};

struct Finder::Window {
  std::vector<std::string> items;
  std::unique_ptr<platform::dispatch::VnodeSource> watch;
};

struct Finder::PendingMenu {
  MenuDone done;
  std::map<std::string, std::pair<uint64_t, uint64_t>> asked;  // extension -> connection, menu
  std::map<std::string, std::optional<std::vector<message::MenuEntry>>> answers;
  RunLoop::TimerId timer = 0;
};

struct Finder::BadgeWaiter {
  std::string path;
  std::string badge;
  std::function<void(bool)> done;
  RunLoop::TimerId timer = 0;
};

Finder::Finder() : loop_(RunLoop::main()) {}

Finder::~Finder() {
  for (const auto& [id, pending] : pendingMenus_) loop_->removeTimer(pending->timer);
  for (const auto& [id, waiter] : waiters_) loop_->removeTimer(waiter->timer);
  // Channels close and folder watches cancel as their owners go; nothing they posted runs after.
}

void Finder::connect(const std::string& identifier, int fd) {
  if (extensions_.count(identifier)) disconnect(identifier);
  auto e = std::make_unique<Extension>();
  e->identifier = identifier;
  e->connection = nextId_++;
  const uint64_t connection = e->connection;
  findersync::Channel::Handlers handlers;
  handlers.message = [this, identifier, connection](const nlohmann::json& m) {
    handle(identifier, connection, m);
  };
  handlers.closed = [this, identifier, connection] {
    const auto it = extensions_.find(identifier);
    if (it == extensions_.end() || it->second->connection != connection) return;
    finderLog().infof("%s closed its connection", identifier.c_str());
    disconnect(identifier);
  };
  e->channel = std::make_unique<findersync::Channel>(
      fd, [](platform::dispatch::Work w) { platform::dispatch::mainQueue()->async(std::move(w)); },
      std::move(handlers));
  Extension& ext = *e;
  extensions_[identifier] = std::move(e);
  finderLog().infof("%s connected; asking it for a principal object", identifier.c_str());
  send(ext, message::makePrincipal());
  if (!selection_.empty()) send(ext, message::selection(selection_));
}

void Finder::disconnect(const std::string& identifier) {
  const auto it = extensions_.find(identifier);
  if (it == extensions_.end()) return;
  it->second->channel->close();
  extensions_.erase(it);
  // A menu still waiting for this extension has its answer: nothing.
  std::vector<uint64_t> complete;
  for (auto& [request, pending] : pendingMenus_) {
    if (pending->asked.count(identifier) && !pending->answers.count(identifier)) {
      pending->answers[identifier] = std::nullopt;
      if (pending->answers.size() == pending->asked.size()) complete.push_back(request);
    }
  }
  for (uint64_t request : complete) finishMenu(request);
  answerWaiters();
}

bool Finder::isConnected(const std::string& identifier) const {
  return extensions_.count(identifier) != 0;
}

bool Finder::newPrincipal(const std::string& identifier) {
  const auto it = extensions_.find(identifier);
  if (it == extensions_.end()) return false;
  send(*it->second, message::makePrincipal());
  return true;
}

void Finder::send(Extension& e, const nlohmann::json& m) {
  if (!e.channel->send(m)) {
    finderLog().errorf("Could not send \"%s\" to %s", message::text(m, "op").c_str(),
                       e.identifier.c_str());
  }
}

void Finder::handle(const std::string& identifier, uint64_t connection, const nlohmann::json& m) {
  const auto it = extensions_.find(identifier);
  if (it == extensions_.end() || it->second->connection != connection) return;
  Extension& e = *it->second;
  const std::string op = message::text(m, "op");
  if (op == "setBadge") {
    const std::string url = message::text(m, "url");
    if (url.empty() || url[0] != '/') return;
    const std::string badge = message::text(m, "badge");
    if (badge.empty()) {
      e.badges.erase(normalPath(url));
    } else {
      e.badges[normalPath(url)] = badge;
    }
    answerWaiters();
  } else if (op == "setBadgeImage") {
    const std::string badge = message::text(m, "badge");
    e.images[badge] =
        BadgeImage{identifier, badge, message::text(m, "label"), message::text(m, "image")};
  } else if (op == "setDirectoryURLs") {
    std::set<std::string> urls;
    for (const auto& url : message::texts(m, "urls")) {
      if (!url.empty() && url[0] == '/') {
        urls.insert(normalPath(url));
      } else {
        finderLog().errorf("%s: ignoring an observed folder that is not absolute: %s",
                           identifier.c_str(), url.c_str());
      }
    }
    onDirectoryURLs(e, std::move(urls));
  } else if (op == "menuReply") {
    onMenuReply(identifier, m);
  } else if (op == "showManagement") {
    ++managementRequests_;
    finderLog().infof("%s asked for the extension management interface", identifier.c_str());
  } else {
    finderLog().errorf("%s sent an unknown message \"%s\"", identifier.c_str(), op.c_str());
  }
}

void Finder::onDirectoryURLs(Extension& e, std::set<std::string> urls) {
  const std::set<std::string> old = std::exchange(e.observed, std::move(urls));
  e.badges.clear();
  for (const auto& [folder, window] : windows_) {
    const bool was = isCovered(folder, old);
    const bool now = isCovered(folder, e.observed);
    if (was && !now) send(e, message::endObserving(folder));
    if (now) observeWindow(e, folder);
  }
  answerWaiters();
}

void Finder::observeWindow(Extension& e, const std::string& folder) {
  Window& window = *windows_.at(folder);
  if (auto items = listItems(folder)) window.items = std::move(*items);
  send(e, message::beginObserving(folder));
  for (const auto& name : window.items) send(e, message::requestBadge(childOf(folder, name)));
}

bool Finder::open(const std::string& folder, std::string& error) {
  const std::string f = normalPath(folder);
  auto items = listItems(f);
  if (!items) {
    error = f + ": not a folder";
    return false;
  }
  if (windows_.count(f)) return true;
  auto window = std::make_unique<Window>();
  window->items = std::move(*items);
  window->watch = std::make_unique<platform::dispatch::VnodeSource>(
      f, platform::dispatch::mainQueue(), [this, f](uint32_t) { rescan(f); });
  window->watch->resume();
  windows_[f] = std::move(window);
  for (auto& [id, e] : extensions_) {
    if (isCovered(f, e->observed)) observeWindow(*e, f);
  }
  return true;
}

bool Finder::close(const std::string& folder, std::string& error) {
  const std::string f = normalPath(folder);
  const auto it = windows_.find(f);
  if (it == windows_.end()) {
    error = f + ": no window is open on it";
    return false;
  }
  windows_.erase(it);
  for (auto& [id, e] : extensions_) {
    if (!isCovered(f, e->observed)) continue;
    send(*e, message::endObserving(f));
    std::erase_if(e->badges, [&](const auto& entry) { return parentOf(entry.first) == f; });
  }
  answerWaiters();
  return true;
}

std::vector<std::string> Finder::openFolders() const {
  std::vector<std::string> out;
  for (const auto& [folder, window] : windows_) out.push_back(folder);
  return out;
}

void Finder::rescan(const std::string& folder) {
  const auto it = windows_.find(folder);
  if (it == windows_.end()) return;
  auto items = listItems(folder);
  if (!items) {
    // The folder went away: so does its window.
    std::string ignored;
    close(folder, ignored);
    return;
  }
  std::vector<std::string> added, removed;
  const auto& old = it->second->items;
  std::set_difference(items->begin(), items->end(), old.begin(), old.end(),
                      std::back_inserter(added));
  std::set_difference(old.begin(), old.end(), items->begin(), items->end(),
                      std::back_inserter(removed));
  it->second->items = std::move(*items);
  for (auto& [id, e] : extensions_) {
    for (const auto& name : removed) e->badges.erase(childOf(folder, name));
    if (!isCovered(folder, e->observed)) continue;
    for (const auto& name : added) send(*e, message::requestBadge(childOf(folder, name)));
  }
  if (!removed.empty()) answerWaiters();
}

std::optional<std::vector<ListedItem>> Finder::list(const std::string& folder) {
  const std::string f = normalPath(folder);
  const auto items = listItems(f);
  if (!items) return std::nullopt;
  const bool previews = viewOptions_.showsPreviews(f);
  std::vector<ListedItem> out;
  for (const auto& name : *items) {
    const std::string path = childOf(f, name);
    if (previews && makePreview(path)) ++previewsMade_;
    out.push_back({badgeOf(path), name});
  }
  return out;
}

std::string Finder::badgeOf(const std::string& path) const {
  const std::string p = normalPath(path);
  for (const auto& [id, e] : extensions_) {
    if (const auto it = e->badges.find(p); it != e->badges.end()) return it->second;
  }
  return {};
}

void Finder::select(std::vector<std::string> paths) {
  for (auto& p : paths) p = normalPath(p);
  selection_ = std::move(paths);
  for (auto& [id, e] : extensions_) send(*e, message::selection(selection_));
}

void Finder::menu(findersync::MenuKind kind, MenuDone done) {
  auto pending = std::make_unique<PendingMenu>();
  pending->done = std::move(done);
  const uint64_t request = nextId_++;
  for (auto& [id, e] : extensions_) {
    const bool concerned =
        kind == findersync::MenuKind::ToolbarItemMenu ||
        std::any_of(selection_.begin(), selection_.end(),
                    [&](const std::string& p) { return isCovered(p, e->observed); });
    if (!concerned) continue;
    const uint64_t menuId = nextId_++;
    pending->asked[id] = {e->connection, menuId};
    if (!e->channel->send(message::menuRequest(menuId, kind, selection_))) {
      pending->answers[id] = std::nullopt;
    }
  }
  const bool complete = pending->answers.size() == pending->asked.size();
  pendingMenus_[request] = std::move(pending);
  if (complete) {
    finishMenu(request);
    return;
  }
  pendingMenus_[request]->timer =
      loop_->addTimer(menuTimeout_, Clock::duration::zero(), [this, request] {
        const auto it = pendingMenus_.find(request);
        if (it == pendingMenus_.end()) return;
        for (const auto& [id, asked] : it->second->asked) {
          if (!it->second->answers.count(id)) {
            finderLog().errorf("%s did not answer the menu request in time", id.c_str());
          }
        }
        it->second->timer = 0;
        finishMenu(request);
      });
}

void Finder::onMenuReply(const std::string& identifier, const nlohmann::json& m) {
  const auto menuId = message::number(m, "id");
  if (!menuId) return;
  for (auto& [request, pending] : pendingMenus_) {
    const auto asked = pending->asked.find(identifier);
    if (asked == pending->asked.end() || asked->second.second != *menuId) continue;
    pending->answers[identifier] = message::menuEntries(m);
    if (pending->answers.size() == pending->asked.size()) finishMenu(request);
    return;
  }
}

void Finder::finishMenu(uint64_t request) {
  const auto it = pendingMenus_.find(request);
  if (it == pendingMenus_.end()) return;
  std::unique_ptr<PendingMenu> pending = std::move(it->second);
  pendingMenus_.erase(it);
  if (pending->timer) loop_->removeTimer(pending->timer);
  shown_.clear();
  shownRefs_.clear();
  for (const auto& [id, asked] : pending->asked) {
    const auto answer = pending->answers.find(id);
    if (answer == pending->answers.end() || !answer->second) continue;
    for (size_t i = 0; i < answer->second->size(); ++i) {
      shown_.push_back({id, (*answer->second)[i]});
      shownRefs_.push_back({asked.first, asked.second, i});
    }
  }
  if (shown_.empty()) {
    pending->done(std::nullopt);
  } else {
    pending->done(shown_);
  }
}

std::optional<std::string> Finder::click(size_t index, std::string& error) {
  if (shown_.empty()) {
    error = "no menu is shown";
    return std::nullopt;
  }
  if (index >= shown_.size()) {
    error = "the menu has no item " + std::to_string(index) + " (it has " +
            std::to_string(shown_.size()) + ")";
    return std::nullopt;
  }
  const ShownItem& item = shown_[index];
  if (!item.entry.enabled) {
    error = "item " + std::to_string(index) + " (" + item.entry.title + ") is disabled";
    return std::nullopt;
  }
  const auto it = extensions_.find(item.extension);
  const ShownRef& ref = shownRefs_[index];
  if (it == extensions_.end() || it->second->connection != ref.connection) {
    error = item.extension + " is no longer running";
    return std::nullopt;
  }
  if (!it->second->channel->send(message::click(ref.menu, ref.index))) {
    error = "could not reach " + item.extension;
    return std::nullopt;
  }
  return item.entry.title;
}

std::set<std::string> Finder::observed() const {
  std::set<std::string> out;
  for (const auto& [id, e] : extensions_) out.insert(e->observed.begin(), e->observed.end());
  return out;
}

std::vector<BadgeImage> Finder::badgeImages() const {
  std::vector<BadgeImage> out;
  for (const auto& [id, e] : extensions_) {
    for (const auto& [badge, image] : e->images) out.push_back(image);
  }
  return out;
}

void Finder::waitBadge(const std::string& path, const std::string& badge,
                       std::chrono::milliseconds timeout, std::function<void(bool)> done) {
  const std::string p = normalPath(path);
  if (badgeOf(p) == badge) {
    done(true);
    return;
  }
  const uint64_t id = nextId_++;
  auto waiter = std::make_unique<BadgeWaiter>();
  waiter->path = p;
  waiter->badge = badge;
  waiter->done = std::move(done);
  waiter->timer = loop_->addTimer(timeout, Clock::duration::zero(), [this, id] {
    const auto it = waiters_.find(id);
    if (it == waiters_.end()) return;
    auto w = std::move(it->second);
    waiters_.erase(it);
    w->done(false);
  });
  waiters_[id] = std::move(waiter);
}

void Finder::answerWaiters() {
  std::vector<std::unique_ptr<BadgeWaiter>> ready;
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    if (badgeOf(it->second->path) == it->second->badge) {
      ready.push_back(std::move(it->second));
      it = waiters_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& w : ready) {
    loop_->removeTimer(w->timer);
    w->done(true);
  }
}

}  // namespace pellora::finder
