#include "updater/BundleInstaller.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "bundle/Bundle.h"
#include "log/Log.h"
#include "updater/Version.h"

namespace platform::updater {
namespace fs = std::filesystem;
namespace {

const log::Log& installerLog() {
  static const log::Log log("platform", "updater");
  return log;
}

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// A staging folder, locked while this process uses it so that no other run takes it for a
// leftover; removed with everything in it (the old bundle, after a swap) when it goes.
class StagingFolder {
 public:
  StagingFolder(const std::string& parent, const std::string& prefix) {
    std::string pattern = parent + "/" + prefix + "XXXXXX";
    if (!::mkdtemp(pattern.data())) {
      error_ = systemError("no folder for the update can be made beside the bundle");
      return;
    }
    path_ = pattern;
    lockFd_ = ::open((path_ + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
      error_ = systemError("the update folder cannot be locked");
    }
  }
  ~StagingFolder() {
    if (!path_.empty()) {
      std::error_code ec;
      fs::remove_all(path_, ec);
      if (ec) installerLog().error("The update folder " + path_ + " stays: " + ec.message());
    }
    if (lockFd_ >= 0) ::close(lockFd_);
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string error_;
  int lockFd_ = -1;
};

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  // Mode bits rather than access(): root passes access() for any file.
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

// The one X.app folder at the top of the unpacked archive.
std::optional<std::string> findBundle(const std::string& folder, std::string& error) {
  std::optional<std::string> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (entry.path().extension() != ".app" || !entry.is_directory(ec) || entry.is_symlink(ec)) {
      continue;
    }
    if (found) {
      error = "the archive holds more than one application bundle";
      return std::nullopt;
    }
    found = entry.path().string();
  }
  if (!found) error = "the archive holds no application bundle";
  return found;
}

// Pushes everything unpacked to the disk, so that the swap never exposes files whose content
// a power loss would still lose.
void flushFileSystem(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::syncfs(fd);
  ::close(fd);
}

void flushFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

BundleInstaller::BundleInstaller(std::string bundlePath) : bundlePath_(std::move(bundlePath)) {
  while (bundlePath_.size() > 1 && bundlePath_.back() == '/') bundlePath_.pop_back();
  const fs::path path(bundlePath_);
  parent_ = path.parent_path().string();
  stagingPrefix_ = "." + path.filename().string() + ".update-";
}

void BundleInstaller::removeLeftovers() const {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(parent_, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(stagingPrefix_, 0) != 0 || !entry.is_directory(ec) || entry.is_symlink(ec)) {
      continue;
    }
    const int fd = ::open((entry.path() / ".lock").c_str(), O_RDONLY | O_CLOEXEC);
    // A folder without its lock was left right after it was made.
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      continue;
    }
    std::error_code removeError;
    fs::remove_all(entry.path(), removeError);
    if (fd >= 0) ::close(fd);
    installerLog().info("Removed what an interrupted update left: " + entry.path().string());
  }
}

InstallResult BundleInstaller::install(const std::string& archive,
                                       const std::string& expectedVersion,
                                       const process::Waker& cancel,
                                       const std::function<void(UpdateStage)>& observer) {
  const bundle::Bundle installed(bundlePath_);
  const auto identifier = installed.bundleIdentifier();
  StagingFolder staging(parent_, stagingPrefix_);
  if (!staging.ok()) return {false, staging.error()};
  const std::string unpacked = staging.path() + "/unpacked";
  if (::mkdir(unpacked.c_str(), 0755) != 0) return {false, systemError("cannot unpack")};

  // Ownership from the archive would be the release machine's; the files belong to whoever
  // installs them.
  const auto tar = process::runShell("tar -x -f " + process::shellQuote(archive) + " -C " +
                                         process::shellQuote(unpacked) + " --no-same-owner 2>&1",
                                     {.captureOutput = true, .maxOutput = 4096, .waker = &cancel});
  if (tar.interrupted) return {false, "cancelled"};
  if (!tar.started || tar.exitStatus != 0) {
    std::string output = tar.output;
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return {false, "the archive cannot be unpacked" + (output.empty() ? "" : ": " + output)};
  }

  std::string error;
  const auto found = findBundle(unpacked, error);
  if (!found) return {false, error, true};
  const bundle::Bundle incoming(*found);
  if (incoming.bundleIdentifier() != identifier) {
    return {false, "the archive's bundle has the identifier \"" +
                       incoming.bundleIdentifier().value_or("") + "\" instead of \"" +
                       identifier.value_or("") + "\"",
            true};
  }
  const std::string version = incoming.infoString("CFBundleVersion").value_or("");
  if (version.empty() || compareVersions(version, expectedVersion) != 0) {
    return {false, "the archive's bundle has the version \"" + version +
                       "\" instead of the feed's \"" + expectedVersion + "\"",
            true};
  }
  if (!isExecutableFile(incoming.executablePath())) {
    return {false, "the archive's bundle has no executable at " + incoming.executablePath(), true};
  }
  if (observer) observer(UpdateStage::Unpacked);
  if (cancel.woken()) return {false, "cancelled"};

  flushFileSystem(staging.path());
  // After the exchange the old bundle sits where the new one was, inside the staging folder,
  // and goes with it.
  if (::renameat2(AT_FDCWD, found->c_str(), AT_FDCWD, bundlePath_.c_str(), RENAME_EXCHANGE) != 0) {
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
      return {false, systemError("the bundle cannot be replaced")};
    }
    // A file system without the exchange: two renames, the old bundle put back on failure.
    const std::string previous = staging.path() + "/previous";
    if (::rename(bundlePath_.c_str(), previous.c_str()) != 0) {
      return {false, systemError("the bundle cannot be moved aside")};
    }
    if (::rename(found->c_str(), bundlePath_.c_str()) != 0) {
      const std::string failure = systemError("the new bundle cannot be moved in");
      ::rename(previous.c_str(), bundlePath_.c_str());
      return {false, failure};
    }
  }
  flushFolder(parent_);
  if (observer) observer(UpdateStage::Replaced);
  return {true, {}};
}

}  // namespace platform::updater
