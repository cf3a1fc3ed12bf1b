// What the updater tells its delegate and asks of it. Every call comes on the main queue.
#pragma once

#include <optional>
#include <string>

namespace platform::updater {

class SPUUpdater;

// The kind of check a cycle ran. Scheduled (automatic) checks run in the background too.
enum class SPUUpdateCheck { UpdatesInBackground };

enum class UpdateErrorCode {
  NotStarted,       // the updater was not started, or could not start
  NoUpdate,         // the feed names no version newer than the installed one
  InvalidFeed,      // no usable feed address, or the feed is not a readable appcast
  FeedUnavailable,  // the feed could not be fetched (network, time-out, missing file)
  DownloadFailed,   // the archive could not be downloaded
  ArchiveRejected,  // wrong length, bad signature, or a bundle that is not the next version
  InstallFailed,    // unpacking or replacing the bundle failed; the old bundle stays
  Cancelled,        // the updater went away during the cycle
};

struct UpdateError {
  UpdateErrorCode code;
  std::string description;
};

class SPUUpdaterDelegate {
 public:
  virtual ~SPUUpdaterDelegate() = default;

  // Asked at the start of every check: a feed address to use instead of the bundle's
  // "UpdaterFeedURL". None keeps the bundle's; any text, even an empty one, is used as given.
  virtual std::optional<std::string> feedURLString(SPUUpdater& updater) {
    (void)updater;
    return std::nullopt;
  }

  // Exactly once at the end of every cycle that a check started, whether it found, installed,
  // rejected or failed; error is none only when an update was installed. The updater may be
  // destroyed from here.
  virtual void didFinishUpdateCycleFor(SPUUpdater& updater, SPUUpdateCheck updateCheck,
                                       const std::optional<UpdateError>& error) {
    (void)updater;
    (void)updateCheck;
    (void)error;
  }
};

}  // namespace platform::updater
