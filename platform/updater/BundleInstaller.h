// Puts a new bundle in place of an installed one without a moment in which the installed path
// holds no complete bundle: the archive is unpacked into a folder beside the bundle (same file
// system), checked, flushed to disk, and swapped in with one atomic exchange of the two paths.
// A failure or a kill at any point before the exchange leaves the old bundle untouched; after
// it, the new bundle is complete. What an interrupted run leaves beside the bundle is removed by
// the next run.
#pragma once

#include <functional>
#include <string>

#include "process/Process.h"
#include "updater/UpdateStage.h"

namespace platform::updater {

struct InstallResult {
  bool ok = false;
  std::string error;
  bool rejected = false;  // the archive is not the expected bundle (rather than a failure)
};

class BundleInstaller {
 public:
  explicit BundleInstaller(std::string bundlePath);

  // Unpacks archive (a tar file, compressed or not, holding one X.app folder at its top) and
  // installs the bundle in it when it has the installed bundle's identifier, the version
  // expectedVersion and its executable. observer (may be empty) hears Unpacked and Replaced.
  InstallResult install(const std::string& archive, const std::string& expectedVersion,
                        const process::Waker& cancel,
                        const std::function<void(UpdateStage)>& observer);

  // Removes the folders of installations that no process is running any more.
  void removeLeftovers() const;

 private:
  std::string bundlePath_;
  std::string parent_;
  std::string stagingPrefix_;  // ".<bundle name>.update-"
};

}  // namespace platform::updater
