#include "plugins/PluginRegistry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <nlohmann/json.hpp>

#include "bundle/Bundle.h"
#include "paths/Paths.h"

namespace platform::plugins {
namespace fs = std::filesystem;

PluginRegistry::PluginRegistry() : file_(paths::configDirectory() + "/pluginkit/registry.json") {}

PluginRegistry::PluginRegistry(std::string file) : file_(std::move(file)) {}

namespace {

// A field of the wrong type reads as a missing one.
std::string textField(const nlohmann::json& entry, const char* key) {
  const auto it = entry.find(key);
  return it != entry.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::map<std::string, Plugin> parse(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::stringstream text;
  text << in.rdbuf();
  return parseRegistry(text.str());
}

bool write(const std::string& file, const std::map<std::string, Plugin>& plugins) {
  nlohmann::json json = {{"plugins", nlohmann::json::object()}};
  for (const auto& [id, p] : plugins) {
    json["plugins"][id] = {{"path", p.path}, {"version", p.version}, {"enabled", p.enabled}};
  }
  const std::string temp = file + ".tmp." + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::trunc);
    if (!out) return false;
    out << json.dump(2) << "\n";
    if (!out.flush()) return false;
  }
  std::error_code ec;
  fs::rename(temp, file, ec);
  return !ec;
}

}  // namespace

std::map<std::string, Plugin> parseRegistry(std::string_view text) {
  std::map<std::string, Plugin> out;
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return out;
  const auto plugins = json.find("plugins");
  if (plugins == json.end() || !plugins->is_object()) return out;
  for (const auto& [id, entry] : plugins->items()) {
    if (!entry.is_object()) continue;
    Plugin p;
    p.identifier = id;
    p.path = textField(entry, "path");
    p.version = textField(entry, "version");
    const auto enabled = entry.find("enabled");
    p.enabled = enabled == entry.end() || !enabled->is_boolean() || enabled->get<bool>();
    out[id] = p;
  }
  return out;
}

std::map<std::string, Plugin> PluginRegistry::load() const { return parse(file_); }

std::optional<Plugin> PluginRegistry::find(const std::string& identifier) const {
  const auto plugins = load();
  const auto it = plugins.find(identifier);
  if (it == plugins.end()) return std::nullopt;
  return it->second;
}

bool PluginRegistry::update(const std::function<void(std::map<std::string, Plugin>&)>& change) {
  std::error_code ec;
  fs::create_directories(fs::path(file_).parent_path(), ec);
  // The lock lives on a file of its own: the registry itself is replaced by rename.
  const int lock = ::open((file_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) return false;
  ::flock(lock, LOCK_EX);
  auto plugins = parse(file_);
  change(plugins);
  const bool ok = write(file_, plugins);
  ::flock(lock, LOCK_UN);
  ::close(lock);
  return ok;
}

std::optional<std::string> PluginRegistry::add(const std::string& path) {
  const bundle::Bundle b(fs::absolute(path).lexically_normal().string());
  const auto id = b.bundleIdentifier();
  if (!id || id->empty()) return std::nullopt;
  const std::string version =
      b.infoString("CFBundleShortVersionString").value_or(b.infoString("CFBundleVersion").value_or(""));
  const bool ok = update([&](std::map<std::string, Plugin>& plugins) {
    Plugin& p = plugins[*id];
    const bool known = !p.identifier.empty();
    p.identifier = *id;
    p.path = b.path();
    p.version = version;
    if (!known) p.enabled = true;
  });
  if (!ok) return std::nullopt;
  return id;
}

bool PluginRegistry::remove(const std::string& identifier) {
  return update([&](std::map<std::string, Plugin>& plugins) { plugins.erase(identifier); });
}

bool PluginRegistry::setEnabled(const std::string& identifier, bool enabled) {
  return update([&](std::map<std::string, Plugin>& plugins) {
    Plugin& p = plugins[identifier];
    p.identifier = identifier;
    p.enabled = enabled;
  });
}

}  // namespace platform::plugins
