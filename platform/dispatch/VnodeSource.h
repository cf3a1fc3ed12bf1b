// A write source on a folder: the handler runs on the target queue when entries of the folder
// are created, removed, renamed or written, with the kinds of change seen since the last call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "dispatch/FdSource.h"

namespace platform::dispatch {

class VnodeSource {
 public:
  enum Flags : uint32_t { kDelete = 0x1, kWrite = 0x2, kAttrib = 0x8, kRename = 0x20 };

  VnodeSource(const std::string& folder, std::shared_ptr<Queue> queue,
              std::function<void(uint32_t flags)> handler);
  ~VnodeSource();
  VnodeSource(const VnodeSource&) = delete;
  VnodeSource& operator=(const VnodeSource&) = delete;

  // False when the folder could not be watched (missing, no permission, no watches left).
  bool valid() const { return watch_ >= 0; }
  void resume();
  void cancel();

 private:
  int watch_ = -1;
  std::unique_ptr<FdSource> source_;
};

}  // namespace platform::dispatch
