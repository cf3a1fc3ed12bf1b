// What the simulated gateway served to callers outside it, for tests to check: reads of the
// download attribute, finished downloads and content reads per file, and errors per errno
// name. Calls the simulator makes to itself are not counted. Thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace pellora::gatewaysim {

class Counters {
 public:
  // A read of the download attribute's value (size probes are not reads).
  void countDownloadRead(const std::string& rel);
  // A stub brought online, through the attribute or by a content read.
  void countDownload(const std::string& rel);
  // One read request for file content (a large read may arrive as several).
  void countContentRead(const std::string& rel);
  void countError(int err);

  // {"downloadReads": {rel: n}, "downloads": {rel: n}, "contentReads": {rel: n},
  //  "errors": {"EPERM": n}}
  nlohmann::json toJson() const;
  void reset();

 private:
  mutable std::mutex mutex_;
  std::map<std::string, uint64_t> downloadReads_;
  std::map<std::string, uint64_t> downloads_;
  std::map<std::string, uint64_t> contentReads_;
  std::map<std::string, uint64_t> errors_;
};

// "EPERM" for EPERM; "E<number>" for numbers without a name.
std::string errnoName(int err);
// The errno named name ("ETIMEDOUT"), or 0.
int errnoFromName(const std::string& name);

}  // namespace pellora::gatewaysim
