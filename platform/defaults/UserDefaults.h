// Application-group user defaults: a named suite of typed values shared by every process of
// the user. The suite lives in <config>/defaults/<suite>.json (see SuiteFile.h); managed
// (forced) values, set by an administrator, in <managed>/<suite>.json, where <managed> is
// PELLORA_MANAGED_DEFAULTS_DIR or else /etc/pellora/managed-defaults. A managed value wins
// over the suite's own.
//
// Reads see the file as it is now; a set or remove is on disk when it returns. Observers of a
// key are told its old and new value whenever it changes, whichever process changed it
// (inotify on the suite's folder), on the queue given when they were added.
//
// Thread-safe. Handlers hold the object weakly: they end when it goes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "defaults/SuiteFile.h"
#include "defaults/Value.h"

namespace platform::dispatch {
class Queue;
class VnodeSource;
}  // namespace platform::dispatch

namespace platform::defaults {

class UserDefaults : public std::enable_shared_from_this<UserDefaults> {
 public:
  using Observer = std::function<void(const std::string& key, const std::optional<Value>& oldValue,
                                      const std::optional<Value>& newValue)>;
  using ObserverId = uint64_t;

  // Null when the name cannot name a file (empty, ".", "..", holding "/" or a NUL, or starting
  // with a dot).
  static std::shared_ptr<UserDefaults> suite(const std::string& name);
  static std::string managedDirectory();

  ~UserDefaults();
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  const std::string& name() const { return name_; }
  const std::string& filePath() const { return file_.path(); }

  // The value, managed first. Nothing when absent (or the file cannot be read).
  std::optional<Value> object(const std::string& key) const;
  // The value when it is of that kind; nothing otherwise.
  std::optional<std::string> string(const std::string& key) const;
  std::optional<int64_t> integer(const std::string& key) const;
  std::optional<bool> boolean(const std::string& key) const;
  std::optional<Value::Array> array(const std::string& key) const;
  std::optional<Value::Dictionary> dictionary(const std::string& key) const;
  // Every key with its value, managed values over the suite's own.
  Dictionary dictionaryRepresentation() const;
  // The key has a managed value: writes do not change what readers see.
  bool objectIsForced(const std::string& key) const;

  // False when the change could not be written.
  bool set(const std::string& key, const Value& value);
  bool removeObject(const std::string& key);
  // Brings observers up to date with the files now. False when the suite's file cannot be
  // read or a write since the last call failed.
  bool synchronize();

  // The observer runs on queue (the suite's own serial queue when null). After
  // removeObserver returns, it is not called again (a call already running finishes).
  ObserverId addObserver(const std::string& key, Observer observer,
                         std::shared_ptr<dispatch::Queue> queue = nullptr);
  void removeObserver(ObserverId id);

 private:
  struct Observation {
    std::string key;
    Observer observer;
    std::shared_ptr<dispatch::Queue> queue;
    std::optional<Value> last;
    std::shared_ptr<bool> active;  // guarded by mutex_
  };

  UserDefaults(std::string name, std::string file, std::string managedFile);
  std::optional<Dictionary> effective() const;
  // Tells the observers whose key changed since they last heard.
  void deliverChanges();
  void startWatching();

  std::string name_;
  SuiteFile file_;
  SuiteFile managed_;
  std::shared_ptr<dispatch::Queue> queue_;

  mutable std::mutex mutex_;
  std::map<ObserverId, Observation> observations_;
  ObserverId nextId_ = 1;
  bool writeFailed_ = false;
  std::vector<std::unique_ptr<dispatch::VnodeSource>> watches_;
};

}  // namespace platform::defaults
