#include "defaults/UserDefaults.h"

#include <cstdlib>
#include <filesystem>
#include <utility>

#include "dispatch/Queue.h"
#include "dispatch/VnodeSource.h"
#include "paths/Paths.h"

namespace platform::defaults {
namespace fs = std::filesystem;

namespace {

bool validName(const std::string& name) {
  return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

std::string UserDefaults::managedDirectory() {
  const char* dir = std::getenv("PELLORA_MANAGED_DEFAULTS_DIR");
  return dir && *dir ? dir : "/etc/pellora/managed-defaults";
}

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& name) {
  if (!validName(name)) return nullptr;
  const std::string file = paths::configDirectory() + "/defaults/" + name + ".json";
  const std::string managed = managedDirectory() + "/" + name + ".json";
  return std::shared_ptr<UserDefaults>(new UserDefaults(name, file, managed));
}

UserDefaults::UserDefaults(std::string name, std::string file, std::string managedFile)
    : name_(std::move(name)),
      file_(std::move(file)),
      managed_(std::move(managedFile)),
      queue_(dispatch::makeSerialQueue("platform.defaults." + name_)) {}

UserDefaults::~UserDefaults() {
  std::lock_guard lock(mutex_);
  for (auto& watch : watches_) watch->cancel();
  for (auto& [id, o] : observations_) *o.active = false;
}

std::optional<Dictionary> UserDefaults::effective() const {
  auto own = file_.read();
  if (!own) return std::nullopt;
  // A managed file that cannot be read forces nothing.
  if (const auto managed = managed_.read()) {
    for (const auto& [key, value] : *managed) own->insert_or_assign(key, value);
  }
  return own;
}

std::optional<Value> UserDefaults::object(const std::string& key) const {
  if (const auto managed = managed_.read()) {
    const auto it = managed->find(key);
    if (it != managed->end()) return it->second;
  }
  const auto own = file_.read();
  if (!own) return std::nullopt;
  const auto it = own->find(key);
  if (it == own->end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
  const auto v = object(key);
  if (!v || !v->text()) return std::nullopt;
  return *v->text();
}

std::optional<int64_t> UserDefaults::integer(const std::string& key) const {
  const auto v = object(key);
  return v ? v->integer() : std::nullopt;
}

std::optional<bool> UserDefaults::boolean(const std::string& key) const {
  const auto v = object(key);
  return v ? v->boolean() : std::nullopt;
}

std::optional<Value::Array> UserDefaults::array(const std::string& key) const {
  const auto v = object(key);
  if (!v || !v->array()) return std::nullopt;
  return *v->array();
}

std::optional<Value::Dictionary> UserDefaults::dictionary(const std::string& key) const {
  const auto v = object(key);
  if (!v || !v->dictionary()) return std::nullopt;
  return *v->dictionary();
}

Dictionary UserDefaults::dictionaryRepresentation() const { return effective().value_or(Dictionary{}); }

bool UserDefaults::objectIsForced(const std::string& key) const {
  const auto managed = managed_.read();
  return managed && managed->count(key) > 0;
}

bool UserDefaults::set(const std::string& key, const Value& value) {
  const bool ok = file_.update({{key, value}});
  if (!ok) {
    std::lock_guard lock(mutex_);
    writeFailed_ = true;
  }
  deliverChanges();
  return ok;
}

bool UserDefaults::removeObject(const std::string& key) {
  const bool ok = file_.update({{key, std::nullopt}});
  if (!ok) {
    std::lock_guard lock(mutex_);
    writeFailed_ = true;
  }
  deliverChanges();
  return ok;
}

bool UserDefaults::synchronize() {
  deliverChanges();
  std::lock_guard lock(mutex_);
  const bool ok = !writeFailed_ && file_.read().has_value();
  writeFailed_ = false;
  return ok;
}

void UserDefaults::deliverChanges() {
  // The read happens under the lock, so that deliveries follow the file's versions in order.
  std::lock_guard lock(mutex_);
  if (observations_.empty()) return;
  const auto now = effective();
  if (!now) return;
  for (auto& [id, o] : observations_) {
    const auto it = now->find(o.key);
    std::optional<Value> value;
    if (it != now->end()) value = it->second;
    if (value == o.last) continue;
    std::optional<Value> old = std::exchange(o.last, value);
    o.queue->async([active = o.active, observer = o.observer, key = o.key, old = std::move(old),
                    value = std::move(value), self = weak_from_this()] {
      const auto strong = self.lock();
      if (!strong) return;
      {
        std::lock_guard guard(strong->mutex_);
        if (!*active) return;
      }
      observer(key, old, value);
    });
  }
}

void UserDefaults::startWatching() {
  // Called with mutex_ held, once, for the first observer.
  const auto folder = fs::path(file_.path()).parent_path().string();
  std::error_code ec;
  fs::create_directories(folder, ec);
  fs::permissions(folder, fs::perms::owner_all, ec);
  const auto handler = [weak = weak_from_this()](uint32_t) {
    if (const auto self = weak.lock()) self->deliverChanges();
  };
  auto own = std::make_unique<dispatch::VnodeSource>(folder, queue_, handler);
  own->resume();
  watches_.push_back(std::move(own));
  const auto managedFolder = fs::path(managed_.path()).parent_path().string();
  if (fs::is_directory(managedFolder, ec)) {
    auto managed = std::make_unique<dispatch::VnodeSource>(managedFolder, queue_, handler);
    managed->resume();
    watches_.push_back(std::move(managed));
  }
}

UserDefaults::ObserverId UserDefaults::addObserver(const std::string& key, Observer observer,
                                                   std::shared_ptr<dispatch::Queue> queue) {
  std::lock_guard lock(mutex_);
  if (watches_.empty()) startWatching();
  const auto now = effective();
  Observation o;
  o.key = key;
  o.observer = std::move(observer);
  o.queue = queue ? std::move(queue) : queue_;
  if (now) {
    const auto it = now->find(key);
    if (it != now->end()) o.last = it->second;
  }
  o.active = std::make_shared<bool>(true);
  const ObserverId id = nextId_++;
  observations_.emplace(id, std::move(o));
  return id;
}

void UserDefaults::removeObserver(ObserverId id) {
  std::lock_guard lock(mutex_);
  const auto it = observations_.find(id);
  if (it == observations_.end()) return;
  *it->second.active = false;
  observations_.erase(it);
}

}  // namespace platform::defaults
