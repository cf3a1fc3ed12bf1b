#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "paths/Paths.h"

namespace platform::paths {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : "";
}

std::string passwdHome() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
    return "";
  }
  return found->pw_dir ? found->pw_dir : "";
}

}  // namespace

std::string homeDirectory() {
  const std::string home = env("HOME");
  return home.empty() ? passwdHome() : home;
}

std::string userDatabaseHome() {
  const std::string forced = env("PELLORA_USER_DB_HOME");
  return forced.empty() ? passwdHome() : forced;
}

std::string applicationSupportDirectory() {
  const std::string data = env("XDG_DATA_HOME");
  return data.empty() ? homeDirectory() + "/.local/share" : data;
}

std::string configDirectory() {
  const std::string config = env("XDG_CONFIG_HOME");
  return config.empty() ? homeDirectory() + "/.config" : config;
}

std::string applicationsDirectory() {
  const std::string apps = env("PELLORA_APPLICATIONS_DIR");
  return apps.empty() ? "/Applications" : apps;
}

}  // namespace platform::paths
