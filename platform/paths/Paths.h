// Where the platform keeps things for the current user.
#pragma once

#include <string>

namespace platform::paths {

// The login home: $HOME, else the user database entry.
std::string homeDirectory();
// The home directory field of the user database entry for the real user id. Sandboxed code
// uses this one. PELLORA_USER_DB_HOME replaces it (tests run each process in its own home).
std::string userDatabaseHome();
// Application Support: $XDG_DATA_HOME, else ~/.local/share.
std::string applicationSupportDirectory();
// The user's configuration folder: $XDG_CONFIG_HOME, else ~/.config.
std::string configDirectory();
// The applications folder: PELLORA_APPLICATIONS_DIR, else /Applications.
std::string applicationsDirectory();

}  // namespace platform::paths
