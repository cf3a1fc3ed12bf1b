#include "ExtensionHost.h"

#include <algorithm>

#include "FolderPaths.h"
#include "findersync/Channel.h"
#include "log/Log.h"

namespace pellora::host {

namespace findersync = platform::findersync;
namespace message = platform::findersync::message;

namespace {

const platform::log::Log& hostLog() {
  static const platform::log::Log log("com.zavro.Pellora", "Host");
  return log;
}

bool absolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

}  // namespace

struct ExtensionHost::Extension {
  std::string identifier;
  uint64_t connection = 0;
  std::unique_ptr<findersync::Channel> channel;
  std::set<std::string> observed;
  // Shown folders this extension was told about with beginObserving.
  std::set<std::string> told;
  std::map<std::string, std::string> badges;  // item -> badge identifier
  std::map<std::string, BadgeImage> images;   // badge identifier -> image
};

struct ExtensionHost::PendingMenu {
  MenuDone done;
  std::vector<std::string> selection;
  std::map<std::string, std::pair<uint64_t, uint64_t>> asked;  // extension -> connection, menu
  std::map<std::string, std::optional<std::vector<message::MenuEntry>>> answers;
  HostLoop::TimerId timer = 0;
};

ExtensionHost::ExtensionHost(HostLoop& loop, Observer& observer)
    : loop_(loop), observer_(observer) {}

ExtensionHost::~ExtensionHost() {
  for (const auto& [id, pending] : pendingMenus_) {
    if (pending->timer) loop_.removeTimer(pending->timer);
  }
  // A delivery already posted checks its channel where it runs: once closed, no handler (and so
  // no part of the host) is called.
  for (auto& [id, e] : extensions_) e->channel->close();
}

void ExtensionHost::connect(const std::string& identifier, int fd) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
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
    hostLog().infof("%s closed its connection", identifier.c_str());
    disconnect(identifier);
  };
  // Deliveries check the channel's own state where they run, and every channel closes before
  // the host goes; the poster stays safe after the loop's end.
  e->channel = std::make_unique<findersync::Channel>(fd, loop_.poster(), std::move(handlers));
  Extension& ext = *e;
  extensions_[identifier] = std::move(e);
  hostLog().infof("%s connected; asking it for a principal object", identifier.c_str());
  send(ext, message::makePrincipal());
  if (!selection_.empty()) send(ext, message::selection(selection_));
}

void ExtensionHost::disconnect(const std::string& identifier) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  const auto it = extensions_.find(identifier);
  if (it == extensions_.end()) return;
  std::unique_ptr<Extension> e = std::move(it->second);
  extensions_.erase(it);
  e->channel->close();
  for (const auto& [path, badge] : e->badges) observer_.badgeChanged(path);
  // A menu still waiting for this extension has its answer: nothing.
  std::vector<uint64_t> complete;
  for (auto& [request, pending] : pendingMenus_) {
    if (pending->asked.count(identifier) && !pending->answers.count(identifier)) {
      pending->answers[identifier] = std::nullopt;
      if (pending->answers.size() == pending->asked.size()) complete.push_back(request);
    }
  }
  for (uint64_t request : complete) finishMenu(request);
}

bool ExtensionHost::isConnected(const std::string& identifier) const {
  return extensions_.count(identifier) != 0;
}

bool ExtensionHost::newPrincipal(const std::string& identifier) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  const auto it = extensions_.find(identifier);
  if (it == extensions_.end()) return false;
  send(*it->second, message::makePrincipal());
  return true;
}

void ExtensionHost::send(Extension& e, const nlohmann::json& m) {
  if (!e.channel->send(m)) {
    hostLog().errorf("Could not send \"%s\" to %s", message::text(m, "op").c_str(),
                     e.identifier.c_str());
  }
}

void ExtensionHost::handle(const std::string& identifier, uint64_t connection,
                           const nlohmann::json& m) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  const auto it = extensions_.find(identifier);
  if (it == extensions_.end() || it->second->connection != connection) return;
  Extension& e = *it->second;
  const std::string op = message::text(m, "op");
  if (op == "setBadge") {
    const std::string url = message::text(m, "url");
    if (!absolute(url)) return;
    const std::string path = normalPath(url);
    const std::string badge = message::text(m, "badge");
    const auto old = e.badges.find(path);
    if (badge.empty()) {
      if (old == e.badges.end()) return;
      e.badges.erase(old);
    } else {
      if (old != e.badges.end() && old->second == badge) return;
      e.badges[path] = badge;
    }
    observer_.badgeChanged(path);
  } else if (op == "setBadgeImage") {
    const std::string badge = message::text(m, "badge");
    e.images[badge] =
        BadgeImage{identifier, badge, message::text(m, "label"), message::text(m, "image")};
    // Items already badged with it can show it now.
    for (const auto& [path, b] : e.badges) {
      if (b == badge) observer_.badgeChanged(path);
    }
  } else if (op == "setDirectoryURLs") {
    std::set<std::string> urls;
    for (const auto& url : message::texts(m, "urls")) {
      if (absolute(url)) {
        urls.insert(normalPath(url));
      } else {
        hostLog().errorf("%s: ignoring an observed folder that is not absolute: %s",
                         identifier.c_str(), url.c_str());
      }
    }
    onDirectoryURLs(e, std::move(urls));
  } else if (op == "menuReply") {
    onMenuReply(identifier, m);
  } else if (op == "showManagement") {
    ++managementRequests_;
    hostLog().infof("%s asked for the extension management interface", identifier.c_str());
  } else {
    hostLog().errorf("%s sent an unknown message \"%s\"", identifier.c_str(), op.c_str());
  }
}

void ExtensionHost::dropBadges(Extension& e,
                               const std::function<bool(const std::string&)>& drop) {
  std::vector<std::string> dropped;
  for (auto it = e.badges.begin(); it != e.badges.end();) {
    if (drop(it->first)) {
      dropped.push_back(it->first);
      it = e.badges.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& path : dropped) observer_.badgeChanged(path);
}

void ExtensionHost::onDirectoryURLs(Extension& e, std::set<std::string> urls) {
  e.observed = std::move(urls);
  dropBadges(e, [](const std::string&) { return true; });
  for (const auto& folder : shown_) {
    const bool now = isCovered(folder, e.observed);
    if (!now && e.told.erase(folder)) send(e, message::endObserving(folder));
    if (now) observeShown(e, folder);
  }
  observer_.observedChanged();
}

void ExtensionHost::observeShown(Extension& e, const std::string& folder) {
  e.told.insert(folder);
  send(e, message::beginObserving(folder));
  if (const auto items = listItems(folder)) {
    for (const auto& name : *items) send(e, message::requestBadge(childOf(folder, name)));
  }
}

void ExtensionHost::show(const std::string& folder) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  const std::string f = normalPath(folder);
  if (!shown_.insert(f).second) return;
  for (auto& [id, e] : extensions_) {
    if (isCovered(f, e->observed)) observeShown(*e, f);
  }
}

void ExtensionHost::hide(const std::string& folder) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  const std::string f = normalPath(folder);
  if (!shown_.erase(f)) return;
  for (auto& [id, e] : extensions_) {
    if (e->told.erase(f)) send(*e, message::endObserving(f));
    dropBadges(*e, [&](const std::string& path) { return parentOf(path) == f; });
  }
}

bool ExtensionHost::isShown(const std::string& folder) const {
  return shown_.count(normalPath(folder)) != 0;
}

void ExtensionHost::requestBadge(const std::string& path) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  const std::string p = normalPath(path);
  for (auto& [id, e] : extensions_) {
    if (isCovered(p, e->observed)) send(*e, message::requestBadge(p));
  }
}

void ExtensionHost::itemRemoved(const std::string& path) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  const std::string p = normalPath(path);
  bool dropped = false;
  for (auto& [id, e] : extensions_) dropped = e->badges.erase(p) != 0 || dropped;
  if (dropped) observer_.badgeChanged(p);
}

void ExtensionHost::sendSelection(std::vector<std::string> selection) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  for (auto& p : selection) p = normalPath(p);
  selection_ = std::move(selection);
  for (auto& [id, e] : extensions_) send(*e, message::selection(selection_));
}

bool ExtensionHost::isObserved(const std::string& path) const {
  const std::string p = normalPath(path);
  return std::any_of(extensions_.begin(), extensions_.end(),
                     [&](const auto& entry) { return isCovered(p, entry.second->observed); });
}

std::set<std::string> ExtensionHost::observed() const {
  std::set<std::string> out;
  for (const auto& [id, e] : extensions_) out.insert(e->observed.begin(), e->observed.end());
  return out;
}

std::string ExtensionHost::badgeOf(const std::string& path) const {
  const std::string p = normalPath(path);
  for (const auto& [id, e] : extensions_) {
    if (const auto it = e->badges.find(p); it != e->badges.end()) return it->second;
  }
  return {};
}

std::optional<BadgeImage> ExtensionHost::imageFor(const std::string& badge) const {
  for (const auto& [id, e] : extensions_) {
    if (const auto it = e->images.find(badge); it != e->images.end()) return it->second;
  }
  return std::nullopt;
}

std::vector<BadgeImage> ExtensionHost::badgeImages() const {
  std::vector<BadgeImage> out;
  for (const auto& [id, e] : extensions_) {
    for (const auto& [badge, image] : e->images) out.push_back(image);
  }
  return out;
}

void ExtensionHost::menu(findersync::MenuKind kind, std::vector<std::string> selection,
                         Clock::duration timeout, MenuDone done) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  for (auto& p : selection) p = normalPath(p);
  auto pending = std::make_unique<PendingMenu>();
  pending->done = std::move(done);
  pending->selection = selection;
  const uint64_t request = nextId_++;
  for (auto& [id, e] : extensions_) {
    const bool concerned =
        kind == findersync::MenuKind::ToolbarItemMenu ||
        std::any_of(selection.begin(), selection.end(),
                    [&](const std::string& p) { return isCovered(p, e->observed); });
    if (!concerned) continue;
    const uint64_t menuId = nextId_++;
    pending->asked[id] = {e->connection, menuId};
    if (!e->channel->send(message::menuRequest(menuId, kind, selection))) {
      pending->answers[id] = std::nullopt;
    }
  }
  const bool complete = pending->answers.size() == pending->asked.size();
  PendingMenu& p = *pending;
  pendingMenus_[request] = std::move(pending);
  if (complete) {
    finishMenu(request);
    return;
  }
  p.timer = loop_.addTimer(timeout, Clock::duration::zero(), [this, request] {
    const auto it = pendingMenus_.find(request);
    if (it == pendingMenus_.end()) return;
    for (const auto& [id, asked] : it->second->asked) {
      if (!it->second->answers.count(id)) {
        hostLog().errorf("%s did not answer the menu request in time", id.c_str());
      }
    }
    it->second->timer = 0;
    finishMenu(request);
  });
}

void ExtensionHost::onMenuReply(const std::string& identifier, const nlohmann::json& m) {
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

void ExtensionHost::finishMenu(uint64_t request) {
  const auto it = pendingMenus_.find(request);
  if (it == pendingMenus_.end()) return;
  std::unique_ptr<PendingMenu> pending = std::move(it->second);
  pendingMenus_.erase(it);
  if (pending->timer) loop_.removeTimer(pending->timer);
  std::vector<MenuChoice> items;
  for (const auto& [id, asked] : pending->asked) {
    const auto answer = pending->answers.find(id);
    if (answer == pending->answers.end() || !answer->second) continue;
    for (size_t i = 0; i < answer->second->size(); ++i) {
      items.push_back({id, asked.first, asked.second, i, pending->selection, (*answer->second)[i]});
    }
  }
  pending->done(std::move(items));
}

bool ExtensionHost::click(const MenuChoice& choice, std::string& error) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (!choice.entry.enabled) {
    error = choice.entry.title + " is disabled";
    return false;
  }
  const auto it = extensions_.find(choice.extension);
  if (it == extensions_.end() || it->second->connection != choice.connection) {
    error = choice.extension + " is no longer running";
    return false;
  }
  // The action reads the selection when it runs: it gets the one its menu was made for.
  if (!it->second->channel->send(message::selection(choice.selection)) ||
      !it->second->channel->send(message::click(choice.menu, choice.index))) {
    error = "could not reach " + choice.extension;
    return false;
  }
  return true;
}

}  // namespace pellora::host
