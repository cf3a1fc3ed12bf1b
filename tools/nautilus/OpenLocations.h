// The folders open in Nautilus's windows and tabs, as Nautilus itself publishes them on the
// session bus (org.freedesktop.FileManager1, property "OpenLocations"). Nautilus's extension
// interface does not say when a folder stops being shown, and it keeps the items of a folder it
// has left; this is how the adapter learns it. Local folders only; the handler runs on the
// main context whenever the set changes. Without a session bus nothing is reported.
#pragma once

#include <functional>
#include <set>
#include <string>

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GCancellable GCancellable;
typedef struct _GVariant GVariant;

namespace pellora::nautilus {

class OpenLocations {
 public:
  using Handler = std::function<void(const std::set<std::string>& folders)>;

  explicit OpenLocations(Handler handler);
  ~OpenLocations();
  OpenLocations(const OpenLocations&) = delete;
  OpenLocations& operator=(const OpenLocations&) = delete;

  // Connects to the session bus and starts following the property.
  void start();
  const std::set<std::string>& folders() const { return folders_; }

  // The local folder paths of a value of the property (an array of URIs).
  static std::set<std::string> foldersOf(GVariant* uris);

 private:
  void connected(GDBusConnection* connection);
  void fetch();
  void update(GVariant* uris);

  Handler handler_;
  GCancellable* cancellable_ = nullptr;
  GDBusConnection* connection_ = nullptr;
  unsigned subscription_ = 0;
  std::set<std::string> folders_;
};

}  // namespace pellora::nautilus
