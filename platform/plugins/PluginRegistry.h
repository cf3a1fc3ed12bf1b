// The platform's registry of app extensions: which extension bundles are registered and whether
// the user has switched each on or off. One JSON file under the user's configuration folder,
// changed under an exclusive lock and replaced atomically, so that concurrent runs of the
// plug-in tool and readers (the Finder stand-in) never see a torn file.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace platform::plugins {

struct Plugin {
  std::string identifier;
  std::string path;     // the .appex bundle; empty when only a choice was recorded
  std::string version;  // CFBundleShortVersionString, or CFBundleVersion
  bool enabled = true;
};

// The registry file's text as a table. Text that is no registry reads as an empty one; an
// entry's field of the wrong type reads as a missing one.
std::map<std::string, Plugin> parseRegistry(std::string_view text);

class PluginRegistry {
 public:
  // The default file: <config>/pluginkit/registry.json.
  PluginRegistry();
  explicit PluginRegistry(std::string file);

  const std::string& file() const { return file_; }

  std::map<std::string, Plugin> load() const;
  std::optional<Plugin> find(const std::string& identifier) const;
  // Registers the bundle at path under its CFBundleIdentifier; keeps an earlier on/off choice.
  // Returns the identifier, or nothing when the bundle has none.
  std::optional<std::string> add(const std::string& path);
  bool remove(const std::string& identifier);
  // Records the user's choice; an identifier not registered yet keeps the choice for later.
  bool setEnabled(const std::string& identifier, bool enabled);

 private:
  // Runs change on the loaded table under the lock and writes the result.
  bool update(const std::function<void(std::map<std::string, Plugin>&)>& change);

  std::string file_;
};

}  // namespace platform::plugins
