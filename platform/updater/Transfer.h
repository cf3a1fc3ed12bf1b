// Fetching the feed and downloading archives with libcurl: file://, http:// and https://, with
// time-outs, size limits and a cancel that takes effect within about a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "process/Process.h"

namespace platform::updater {

struct TransferLimits {
  std::chrono::milliseconds connectTimeout{std::chrono::seconds(15)};
  // The whole feed transfer.
  std::chrono::milliseconds feedTimeout{std::chrono::seconds(60)};
  // A download that moves no byte for this long is given up.
  std::chrono::milliseconds stallTimeout{std::chrono::seconds(60)};
  size_t maxFeedBytes = 4 << 20;
};

struct TransferResult {
  bool ok = false;
  std::string error;  // why not, for the log
  bool wrongLength = false;  // downloadFile: the body was longer or shorter than expected
  std::string text;   // fetchText only
};

// The body at url, at most limits.maxFeedBytes. cancel stops the transfer when woken.
TransferResult fetchText(const std::string& url, const TransferLimits& limits,
                         const process::Waker& cancel);

// Writes the body at url to path, which must come to exactly expectedLength bytes; a longer body
// is cut off as soon as it passes that length. file:// addresses are followed only when
// allowFile is true (an archive named by a network feed must come from the network).
TransferResult downloadFile(const std::string& url, const std::string& path,
                            uint64_t expectedLength, bool allowFile,
                            const TransferLimits& limits, const process::Waker& cancel);

}  // namespace platform::updater
