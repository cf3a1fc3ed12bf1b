// Login items: programs the desktop session starts at login, as XDG autostart entries
// <config>/autostart/<identifier>.desktop whose command sets XPC_SERVICE_NAME=<identifier>, so
// that the program knows the login-item service started it. Registering also starts the job at
// once, and unregistering stops the job that registering started (never another copy).
//
// The user approves a login item in the desktop's list of startup programs: an entry that is
// switched off there (X-GNOME-Autostart-enabled=false, or Hidden=true) "requires approval";
// registering keeps that choice and starts nothing. setApproved() makes the same change.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace platform::loginitems {

enum class Status { NotRegistered, Enabled, RequiresApproval, NotFound };

// "not registered", "enabled", "requires approval", "not found".
std::string_view describe(Status status);

class LoginItems {
 public:
  // Under the user's configuration folder.
  LoginItems();
  explicit LoginItems(std::string configDirectory);

  std::string entryPath(const std::string& identifier) const;

  // Writes the entry for the bundle's executable and starts the job unless it runs already or
  // the item requires approval. Enabled on success; NotFound when the bundle has no
  // executable; NotRegistered when the entry cannot be written or the identifier cannot name
  // a file.
  Status registerItem(const std::string& identifier, const std::string& bundlePath) const;
  // Removes the entry and stops (SIGTERM) the job that registering started, if it still
  // runs. False only when the entry exists and cannot be removed.
  bool unregisterItem(const std::string& identifier) const;
  // NotFound: the entry's program no longer exists.
  Status status(const std::string& identifier) const;
  // The user's switch. Approving starts the job, as registering does.
  bool setApproved(const std::string& identifier, bool approved) const;
  // The job that registering started, while it runs.
  std::optional<pid_t> runningJob(const std::string& identifier) const;

 private:
  std::string jobPath(const std::string& identifier) const;
  bool startJob(const std::string& identifier) const;

  std::string config_;
};

}  // namespace platform::loginitems
