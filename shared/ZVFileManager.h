// The folder shared by the application and the service, the communication file with the
// preview choice, file aggregation for bring-online requests, and the classification of a
// selected item. Compiled into every program.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AttrManager.h"
#include "FileList.h"
#include "dispatch/Queue.h"

// The content of the communication file.
struct FinderPreviewState {
  bool previewEnabled = true;
};

// An error as the user reads it.
struct ZVError {
  std::string domain;
  int code = 0;
  std::string localizedDescription;
};

class ZVFileManager : public std::enable_shared_from_this<ZVFileManager> {
 public:
  enum class Result { stubFile = 0, folder = 1, onlineFile = 2, missing = 3 };
  using AggregationCompletion = std::function<void(FileList urls, std::optional<ZVError> error)>;

  // Each folder is worked out (and created when missing) on first use, then kept.
  std::optional<std::string> sharedApplicationSupportDir();
  std::optional<std::string> communicationDir();
  std::optional<std::string> communicationFileURL();

  // The preview choice in the communication file; none when it cannot be read.
  std::optional<bool> previewStateEnabled();
  // The communication file's bytes as a state; none when they are not in its format.
  static std::optional<FinderPreviewState> decodePreviewState(std::string_view bytes);
  // Replaces the file (removed, then written anew); none is refused.
  void setPreviewStateEnabled(std::optional<bool> enabled);

  // What is at url's path: a folder (without a stub test), a stub or online file, or nothing.
  Result isDir(const std::string& url) const;

  // Expands the selected paths into the files below them on the aggregation queue and calls
  // completion once, on the main queue. Call on a manager owned by a shared_ptr: the work holds
  // it weakly.
  void fileAggregation(const std::vector<std::string>& paths, AggregationCompletion completion);
  std::shared_ptr<platform::dispatch::Queue> aggregationQueue();

 private:
  void createDirIfNeede(const std::string& url);
  // Appends every file below one selected item to files; the permission error for an
  // unreadable folder.
  void filesWithoutDirs(const std::string& url, FileList& files, std::optional<ZVError>& error);

  AttrManager attrManager_;
  std::mutex queueLock_;
  std::shared_ptr<platform::dispatch::Queue> aggregationQueue_;
  std::optional<std::optional<std::string>> sharedApplicationSupportDir_;
  std::optional<std::optional<std::string>> communicationDir_;
  std::optional<std::optional<std::string>> communicationFileURL_;
};
