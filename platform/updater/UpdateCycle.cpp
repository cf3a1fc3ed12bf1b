#include "updater/UpdateCycle.h"

#include <stdlib.h>

#include <filesystem>

#include "bundle/Bundle.h"
#include "log/Log.h"
#include "updater/BundleInstaller.h"
#include "updater/SPUUpdater.h"
#include "updater/Signature.h"

namespace platform::updater {
namespace {

const log::Log& cycleLog() {
  static const log::Log log("platform", "updater");
  return log;
}

UpdateCycleOutcome failed(UpdateErrorCode code, const std::string& description) {
  // Finding nothing new is the usual end of a check, not a failure.
  cycleLog().write(code == UpdateErrorCode::NoUpdate ? log::Level::Default : log::Level::Error,
                   "The update check ended: " + description);
  return {UpdateError{code, description}, std::nullopt};
}

std::string label(const AppcastItem& item) {
  if (item.shortVersionString.empty()) return item.version;
  return item.shortVersionString + " (" + item.version + ")";
}

// A private folder for the download, removed with its content.
class DownloadFolder {
 public:
  explicit DownloadFolder(const std::string& base) {
    std::string root = base;
    if (root.empty()) {
      const char* tmp = std::getenv("TMPDIR");
      root = tmp && *tmp ? tmp : "/tmp";
    }
    std::string pattern = root + "/platform-update-XXXXXX";
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~DownloadFolder() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  DownloadFolder(const DownloadFolder&) = delete;
  DownloadFolder& operator=(const DownloadFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool isFileURL(const std::string& url) { return url.rfind("file:", 0) == 0; }

}  // namespace

UpdateCycleOutcome runUpdateCycle(const UpdateCycleInput& input, const process::Waker& cancel) {
  const bundle::Bundle bundle(input.bundlePath);
  // Both are read now, not at start: an update installed earlier may have changed them.
  const std::string current = bundle.infoString("CFBundleVersion").value_or("");
  const std::string publicKey = bundle.infoString(kPublicEDKeyKey).value_or("");
  if (!isPublicKey(publicKey)) {
    return failed(UpdateErrorCode::NotStarted, "the bundle has no valid public key");
  }
  if (input.feedURL.empty()) return failed(UpdateErrorCode::InvalidFeed, "no feed address");

  BundleInstaller installer(input.bundlePath);
  installer.removeLeftovers();

  cycleLog().info("Checking for updates at " + input.feedURL);
  const auto feed = fetchText(input.feedURL, input.limits, cancel);
  if (cancel.woken()) return failed(UpdateErrorCode::Cancelled, "cancelled");
  if (!feed.ok) {
    return failed(UpdateErrorCode::FeedUnavailable, "the feed cannot be fetched: " + feed.error);
  }
  const auto appcast = parseAppcast(feed.text);
  if (!appcast) return failed(UpdateErrorCode::InvalidFeed, "the feed is not an appcast");
  if (appcast->skippedItems > 0) {
    cycleLog().info("The feed has " + std::to_string(appcast->skippedItems) +
                    " items without a version, an archive, a length or a signature");
  }
  const auto item = newestItemAbove(appcast->items, current);
  if (!item) {
    return failed(UpdateErrorCode::NoUpdate,
                  "the feed names no version newer than \"" + current + "\"");
  }

  const DownloadFolder folder(input.temporaryDirectory);
  if (folder.path().empty()) {
    return failed(UpdateErrorCode::DownloadFailed, "no temporary folder for the download");
  }
  const std::string archive = folder.path() + "/archive";
  cycleLog().info("Downloading version " + label(*item) + " from " + item->url);
  const auto download = downloadFile(item->url, archive, item->length, isFileURL(input.feedURL),
                                     input.limits, cancel);
  if (cancel.woken()) return failed(UpdateErrorCode::Cancelled, "cancelled");
  if (download.wrongLength) {
    return failed(UpdateErrorCode::ArchiveRejected,
                  "the update " + label(*item) + " was rejected: " + download.error);
  }
  if (!download.ok) {
    return failed(UpdateErrorCode::DownloadFailed,
                  "the update " + label(*item) + " cannot be downloaded: " + download.error);
  }
  if (input.stageObserver) input.stageObserver(UpdateStage::Downloaded);

  const SignatureCheck check = verifyFile(archive, item->edSignature, publicKey);
  if (check != SignatureCheck::Valid) {
    return failed(UpdateErrorCode::ArchiveRejected,
                  "the update " + label(*item) + " was rejected: " + describe(check));
  }
  if (input.stageObserver) input.stageObserver(UpdateStage::Verified);

  const auto installed = installer.install(archive, item->version, cancel, input.stageObserver);
  if (!installed.ok) {
    if (cancel.woken()) return failed(UpdateErrorCode::Cancelled, "cancelled");
    if (installed.rejected) {
      return failed(UpdateErrorCode::ArchiveRejected,
                    "the update " + label(*item) + " was rejected: " + installed.error);
    }
    return failed(UpdateErrorCode::InstallFailed,
                  "the update " + label(*item) + " was not installed: " + installed.error);
  }
  cycleLog().info("Installed version " + label(*item) + " at " + input.bundlePath);
  return {std::nullopt, *item};
}

}  // namespace platform::updater
