#include "Counters.h"

#include <string.h>

namespace pellora::gatewaysim {

void Counters::countDownloadRead(const std::string& rel) {
  std::lock_guard lock(mutex_);
  ++downloadReads_[rel];
}

void Counters::countDownload(const std::string& rel) {
  std::lock_guard lock(mutex_);
  ++downloads_[rel];
}

void Counters::countContentRead(const std::string& rel) {
  std::lock_guard lock(mutex_);
  ++contentReads_[rel];
}

void Counters::countError(int err) {
  const std::string name = errnoName(err);
  std::lock_guard lock(mutex_);
  ++errors_[name];
}

nlohmann::json Counters::toJson() const {
  std::lock_guard lock(mutex_);
  nlohmann::json out = nlohmann::json::object();
  out["downloadReads"] = downloadReads_;
  out["downloads"] = downloads_;
  out["contentReads"] = contentReads_;
  out["errors"] = errors_;
  return out;
}

void Counters::reset() {
  std::lock_guard lock(mutex_);
  downloadReads_.clear();
  downloads_.clear();
  contentReads_.clear();
  errors_.clear();
}

std::string errnoName(int err) {
  const char* name = ::strerrorname_np(err);
  return name ? std::string(name) : "E" + std::to_string(err);
}

int errnoFromName(const std::string& name) {
  for (int err = 1; err < 4096; ++err) {
    const char* candidate = ::strerrorname_np(err);
    if (candidate && name == candidate) return err;
  }
  return 0;
}

}  // namespace pellora::gatewaysim
