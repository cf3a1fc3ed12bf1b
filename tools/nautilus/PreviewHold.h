// Holds the user's preview choice (the communication file's "previewEnabled") in Nautilus for
// the folders of gateway shares. Nautilus makes a thumbnail by reading the file, which on a
// gateway share brings a stub online; with previews off, every file of a gateway folder that
// Nautilus shows gets a failure record in the thumbnail cache (FailedThumbnails.h) before
// Nautilus asks for its thumbnail, so Nautilus never tries. With previews on the records go
// again and Nautilus's own thumbnail settings apply.
//
// The choice starts off, is read from the communication file at start and again whenever the
// communication folder changes; a file that cannot be read leaves it as it was. Lives on its
// loop's thread.
#pragma once

#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "FailedThumbnails.h"
#include "GatewayShares.h"
#include "HostLoop.h"
#include "dispatch/SequenceChecker.h"

class ZVFileManager;

namespace pellora::nautilus {

class PreviewHold {
 public:
  struct Options {
    std::string cacheDir;  // the user's cache folder ($XDG_CACHE_HOME)
    std::string mountInfoPath = "/proc/self/mountinfo";
  };

  PreviewHold(host::HostLoop& loop, Options options);
  ~PreviewHold();
  PreviewHold(const PreviewHold&) = delete;
  PreviewHold& operator=(const PreviewHold&) = delete;

  // Reads the choice and starts following the communication folder.
  void start();
  bool previewsEnabled() const { return enabled_; }

  // Nautilus starts to show folder: with previews off and on a gateway share, every file in it
  // gets a record for its current modification time.
  void holdFolder(const std::string& folder);
  // Nautilus asks about one file: with previews off (gateway share) a record for its current
  // modification time; with previews on our record goes, if there is one.
  void holdFile(const std::string& path);

  const FailedThumbnails& records() const { return records_; }

 private:
  bool onGatewayShare(const std::string& folder);
  void hold(const std::string& path, time_t mtime);
  void reread();
  void stopWatching();

  host::HostLoop& loop_;
  platform::dispatch::SequenceChecker sequence_;
  FailedThumbnails records_;
  const std::string mountInfoPath_;
  GatewayShares shares_;
  std::shared_ptr<ZVFileManager> files_;
  bool enabled_ = false;
  std::map<std::string, bool> gatewayFolders_;
  // Our records written by this process: path -> the modification time in it.
  std::map<std::string, time_t> written_;
  int inotify_ = -1;
  host::HostLoop::WatchId watch_ = 0;
  int mountTable_ = -1;
  host::HostLoop::WatchId mountWatch_ = 0;
};

}  // namespace pellora::nautilus
