// `pellora bring-online`: the progress window's work in this process. The selection is expanded
// as the window's request is (ZVFileManager::fileAggregation) and its files go through the same
// download queue (FileQueueManager), whose results are shown with ProgressView; the main queue
// is this thread's RunLoop. The first SIGINT or SIGTERM cancels after the current file, as the
// window's Cancel does; the next one ends the program at once.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "ExitStatus.h"

namespace pellora::cli {

struct BringOnlineOutput {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  // A bar redrawn in place, else a line per file.
  bool terminal = false;
  size_t width = 80;
};

// paths: checked already (on gateway shares). kExitOk, kExitFailed when a file failed or the
// selection could not be expanded, kExitCanceled after a cancel.
ExitStatus bringOnline(const std::vector<std::string>& paths, const BringOnlineOutput& output);

}  // namespace pellora::cli
