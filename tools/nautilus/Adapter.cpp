#include "Adapter.h"

#include <nautilus-extension.h>

#include "FolderPaths.h"
#include "log/Log.h"

namespace pellora::nautilus {

using pellora::host::normalPath;
using pellora::host::parentOf;

namespace {

const platform::log::Log& adapterLog() {
  static const platform::log::Log log("com.zavro.Pellora", "Nautilus");
  return log;
}

// The local path of a file info; empty for files that are not local (trash, recent, network).
std::string pathOf(NautilusFileInfo* file) {
  GFile* location = nautilus_file_info_get_location(file);
  if (!location) return {};
  char* path = g_file_get_path(location);
  g_object_unref(location);
  if (!path) return {};
  std::string out = normalPath(path);
  g_free(path);
  return out;
}

}  // namespace

std::string emblemForBadge(const std::string& badge) {
  // The stub badge, installed into the icon theme with the adapter.
  if (badge == "FileIconCache") return "emblem-pellora-stub";
  return {};
}

struct Adapter::Pending {
  ~Pending() {
    g_closure_unref(done);
    g_object_unref(file);
  }
  NautilusInfoProvider* provider = nullptr;
  NautilusFileInfo* file = nullptr;
  GClosure* done = nullptr;
  std::string path;
  host::HostLoop::TimerId timer = 0;
};

struct Adapter::MenuWait {
  bool waiting = true;
  bool answered = false;
  std::vector<host::MenuChoice> items;
};

Adapter::Adapter(Options options)
    : options_(std::move(options)),
      host_(loop_, *this),
      supervisor_(loop_, host_, options_.supervisor),
      preview_(loop_, options_.preview),
      openLocations_([this](const std::set<std::string>& folders) { openLocationsChanged(folders); }) {}

Adapter::~Adapter() {
  *alive_ = false;
  // Nautilus is going: requests still held are not answered.
  for (auto& [id, p] : pending_) loop_.removeTimer(p->timer);
  pending_.clear();
  supervisor_.stopAll();
  for (const auto& [file, path] : paths_) g_object_weak_unref(file, &Adapter::forget, this);
}

void Adapter::start() {
  preview_.start();
  openLocations_.start();
  supervisor_.start();
  adapterLog().info("Pellora serves Nautilus");
}

Adapter::Answer Adapter::updateFileInfo(NautilusInfoProvider* provider, NautilusFileInfo* file,
                                        GClosure* done, NautilusOperationHandle** handle) {
  const std::string path = pathOf(file);
  if (path.empty() || path == "/") return Answer::Complete;
  const std::string folder = parentOf(path);
  const bool newFolder = !host_.isShown(folder);
  track(file, path);
  // Before anything else: Nautilus may ask for thumbnails as soon as this call returns.
  if (newFolder) preview_.holdFolder(folder);
  preview_.holdFile(path);

  const auto now = Clock::now();
  if (newFolder) {
    host_.show(folder);
    requested_[folder] = now;
  } else if (now >= requested_[folder] + options_.badgeWait) {
    // Within the wait the folder's own requests are still being answered.
    host_.requestBadge(path);
  }
  if (!host_.isObserved(path)) return Answer::Complete;
  if (applyEmblem(file, path)) return Answer::Complete;
  const auto deadline = requested_[folder] + options_.badgeWait;
  if (now >= deadline) return Answer::Complete;

  const uint64_t id = nextPending_++;
  auto p = std::make_unique<Pending>();
  p->provider = provider;
  p->file = NAUTILUS_FILE_INFO(g_object_ref(file));
  p->done = g_closure_ref(done);
  p->path = path;
  p->timer = loop_.addTimer(deadline - now, Clock::duration::zero(), [this, id] { complete(id); });
  pending_[id] = std::move(p);
  // Nautilus only hands the handle back: the request's number serves.
  *handle = reinterpret_cast<NautilusOperationHandle*>(static_cast<uintptr_t>(id));
  return Answer::InProgress;
}

void Adapter::cancelUpdate(NautilusOperationHandle* handle) {
  const auto it = pending_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == pending_.end()) return;
  loop_.removeTimer(it->second->timer);
  pending_.erase(it);
}

void Adapter::complete(uint64_t id) {
  const auto it = pending_.find(id);
  if (it == pending_.end()) return;
  std::unique_ptr<Pending> p = std::move(it->second);
  pending_.erase(it);
  loop_.removeTimer(p->timer);
  nautilus_info_provider_update_complete_invoke(
      p->done, p->provider, reinterpret_cast<NautilusOperationHandle*>(static_cast<uintptr_t>(id)),
      NAUTILUS_OPERATION_COMPLETE);
}

bool Adapter::applyEmblem(NautilusFileInfo* file, const std::string& path) {
  const std::string badge = host_.badgeOf(path);
  const std::string emblem = emblemForBadge(badge);
  // As in Finder, a badge shows only once its extension has registered an image for it.
  if (emblem.empty() || !host_.imageFor(badge)) return false;
  nautilus_file_info_add_emblem(file, emblem.c_str());
  return true;
}

void Adapter::badgeChanged(const std::string& path) {
  std::vector<uint64_t> waiting;
  for (const auto& [id, p] : pending_) {
    if (p->path == path) waiting.push_back(id);
  }
  for (uint64_t id : waiting) {
    // A badge without an emblem answers nothing yet: another extension may still give one, and
    // the wait ends in time anyway.
    if (applyEmblem(pending_.at(id)->file, path)) complete(id);
  }
  if (waiting.empty()) invalidate(path);
}

void Adapter::observedChanged() {
  // The host has asked for the badges of every shown folder an extension now observes; their
  // items are asked about again, and wait for the answers as on a first visit.
  const auto now = Clock::now();
  for (auto& [folder, when] : requested_) {
    if (host_.isObserved(folder)) when = now;
  }
  for (const auto& [path, files] : files_) {
    if (host_.isObserved(path)) invalidate(path);
  }
}

void Adapter::track(NautilusFileInfo* file, const std::string& path) {
  GObject* object = G_OBJECT(file);
  const auto it = paths_.find(object);
  if (it != paths_.end()) {
    if (it->second == path) return;
    // Renamed or moved: the old place loses it.
    g_object_weak_unref(object, &Adapter::forget, this);
    gone(object);
  }
  g_object_weak_ref(object, &Adapter::forget, this);
  paths_[object] = path;
  files_[path].insert(object);
  ++folderFiles_[parentOf(path)];
}

void Adapter::forget(void* data, GObject* gone) {
  static_cast<Adapter*>(data)->gone(gone);
}

void Adapter::gone(GObject* file) {
  const auto it = paths_.find(file);
  if (it == paths_.end()) return;
  const std::string path = it->second;
  paths_.erase(it);
  if (auto f = files_.find(path); f != files_.end()) {
    f->second.erase(file);
    if (f->second.empty()) files_.erase(f);
  }
  const std::string folder = parentOf(path);
  const auto count = folderFiles_.find(folder);
  if (count == folderFiles_.end() || --count->second > 0) return;
  folderFiles_.erase(count);
  if (host_.isShown(folder) && !openLocations_.folders().count(folder)) hideFolder(folder);
}

void Adapter::openLocationsChanged(const std::set<std::string>& folders) {
  for (const auto& folder : lastOpen_) {
    if (!folders.count(folder) && host_.isShown(folder)) hideFolder(folder);
  }
  lastOpen_ = folders;
}

void Adapter::hideFolder(const std::string& folder) {
  if (host_.isObserved(folder)) adapterLog().infof("Nautilus no longer shows %s", folder.c_str());
  host_.hide(folder);
  requested_.erase(folder);
  // Nautilus keeps what it was told about them: it asks again when it shows them next.
  for (const auto& [path, files] : files_) {
    if (parentOf(path) == folder) invalidate(path);
  }
}

void Adapter::invalidate(const std::string& path) {
  if (!files_.count(path)) return;
  invalid_.insert(path);
  if (flushPosted_) return;
  flushPosted_ = true;
  loop_.post([this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.lock()) flushInvalidations();
  });
}

void Adapter::flushInvalidations() {
  flushPosted_ = false;
  const std::set<std::string> paths = std::move(invalid_);
  invalid_.clear();
  std::vector<GObject*> files;
  for (const auto& path : paths) {
    if (const auto it = files_.find(path); it != files_.end()) {
      files.insert(files.end(), it->second.begin(), it->second.end());
    }
  }
  // Nautilus may call back into the adapter from here: the list is taken first.
  for (GObject* file : files) {
    if (paths_.count(file)) nautilus_file_info_invalidate_extension_info(NAUTILUS_FILE_INFO(file));
  }
}

GList* Adapter::fileItems(NautilusMenuProvider* provider, GList* files) {
  menuProvider_ = provider;
  std::vector<std::string> selection;
  for (GList* l = files; l; l = l->next) {
    const std::string path = pathOf(NAUTILUS_FILE_INFO(l->data));
    if (!path.empty()) selection.push_back(path);
  }
  if (selection.empty()) return nullptr;
  bool observed = false;
  for (const auto& p : selection) observed = observed || host_.isObserved(p);
  if (!observed) return nullptr;

  std::vector<host::MenuChoice> items;
  if (auto late = lateMenus_.find(selection); late != lateMenus_.end()) {
    items = std::move(late->second);
    lateMenus_.erase(late);
  } else {
    auto wait = std::make_shared<MenuWait>();
    host_.menu(platform::findersync::MenuKind::ContextualMenuForItems, selection,
               options_.menuWait,
               [this, wait, selection, alive = std::weak_ptr<bool>(alive_)](
                   std::vector<host::MenuChoice> answer) {
                 if (wait->waiting) {
                   wait->items = std::move(answer);
                   wait->answered = true;
                   return;
                 }
                 if (!alive.lock() || answer.empty()) return;
                 lateMenus_[selection] = std::move(answer);
                 if (menuProvider_) nautilus_menu_provider_emit_items_updated_signal(menuProvider_);
               });
    loop_.servePostedUntil([&] { return wait->answered; }, options_.menuWait);
    wait->waiting = false;
    if (!wait->answered) return nullptr;
    items = std::move(wait->items);
  }

  GList* out = nullptr;
  for (const auto& choice : items) {
    const std::string name = "Pellora::" + choice.extension + "::" + std::to_string(choice.menu) +
                             "::" + std::to_string(choice.index);
    NautilusMenuItem* item =
        nautilus_menu_item_new(name.c_str(), choice.entry.title.c_str(), nullptr, nullptr);
    g_object_set(item, "sensitive", choice.entry.enabled ? TRUE : FALSE, nullptr);
    struct Activation {
      Adapter* adapter;
      std::weak_ptr<bool> alive;
      host::MenuChoice choice;
    };
    g_signal_connect_data(
        item, "activate",
        G_CALLBACK(+[](NautilusMenuItem*, gpointer data) {
          auto* a = static_cast<Activation*>(data);
          if (a->alive.lock()) a->adapter->activate(a->choice);
        }),
        new Activation{this, alive_, choice},
        [](gpointer data, GClosure*) { delete static_cast<Activation*>(data); },
        GConnectFlags(0));
    out = g_list_append(out, item);
  }
  return out;
}

void Adapter::activate(const host::MenuChoice& choice) {
  std::string error;
  if (!host_.click(choice, error)) {
    adapterLog().errorf("Could not run \"%s\": %s", choice.entry.title.c_str(), error.c_str());
  }
}

}  // namespace pellora::nautilus
