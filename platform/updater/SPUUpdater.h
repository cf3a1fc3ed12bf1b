// The software updater of one application bundle.
//
// A check fetches the appcast (the delegate's feed address, else the bundle's "UpdaterFeedURL"),
// picks the newest item above the bundle's CFBundleVersion, downloads its archive into a
// temporary folder, checks its length and its Ed25519 signature against the bundle's
// "UpdaterPublicEDKey", and installs it (BundleInstaller.h); then the application is relaunched
// through the environment's hook, and the delegate hears the end of the cycle. Anything that
// fails is logged and ends the cycle; the installed bundle is only ever replaced whole.
//
// Threading: create, use and destroy the updater on the main thread; the delegate and the
// relaunch hook are called there too (the main queue), while the network, signature and
// unpacking work runs on a thread of the updater's own. Destroying the updater stops that work
// (a transfer within about a second) and waits for it; a replacement that has begun finishes.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "updater/SPUUpdaterDelegate.h"
#include "updater/Transfer.h"
#include "updater/UpdateStage.h"

namespace platform::updater {

// Info.plist keys of the bundle being updated.
inline constexpr const char* kFeedURLKey = "UpdaterFeedURL";
inline constexpr const char* kPublicEDKeyKey = "UpdaterPublicEDKey";

// Starts the bundle's executable as a new process, detached from this one (no arguments).
// False when it cannot be started.
bool relaunchDetached(const std::string& bundlePath);

struct UpdaterEnvironment {
  // The bundle to update; empty means the running program's bundle.
  std::string hostBundlePath;
  // Called on the main queue after a new version was installed, before the end-of-cycle call,
  // with the bundle path. Empty means relaunchDetached; the application ends itself (it hears
  // the end of the cycle right after).
  std::function<void(const std::string& bundlePath)> relaunch;
  // Where archives are downloaded; empty means $TMPDIR, else /tmp.
  std::string temporaryDirectory;
  TransferLimits limits;
  // Told each step of an installation, on the updater's thread (may be empty).
  std::function<void(UpdateStage)> stageObserver;
};

class SPUUpdater {
 public:
  // The delegate is held weakly.
  SPUUpdater(std::weak_ptr<SPUUpdaterDelegate> delegate, UpdaterEnvironment environment = {});
  ~SPUUpdater();
  SPUUpdater(const SPUUpdater&) = delete;
  SPUUpdater& operator=(const SPUUpdater&) = delete;

  // Checks the configuration (a bundle with a valid public key) and lets checks run. False,
  // logged, when updates cannot work; later checks then end their cycle at once with
  // NotStarted, so that a program waiting for the end of a cycle does not wait forever.
  bool startUpdater();

  // Runs one update cycle without user interface. While a cycle runs, another check is not
  // started (and has no end-of-cycle call of its own).
  void checkForUpdatesInBackground();

  // Scheduled checks every updateCheckInterval, counted from the end of the last cycle (or
  // from when they are switched on), while the updater is started.
  bool automaticallyChecksForUpdates() const;
  void setAutomaticallyChecksForUpdates(bool enabled);
  std::chrono::milliseconds updateCheckInterval() const;
  void setUpdateCheckInterval(std::chrono::milliseconds interval);

  bool sessionInProgress() const;
  // The bundle this updater replaces; empty when the program has none.
  const std::string& hostBundlePath() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform::updater
