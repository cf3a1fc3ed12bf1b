// The lock file's readers on arbitrary file content: no crash; a holder that is read is a
// positive pid with a version, and one written by the holder's rule reads back the same.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ServiceLockFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = ::memfd_create("service.lock", MFD_CLOEXEC);
  if (fd < 0) std::abort();
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();

  const auto holder = ServiceLockFile::readLockHolder(fd);
  // The descriptor reads what the pure reader reads of the first 63 bytes.
  if (holder != ServiceLockFile::parseLockHolder(bytes.substr(0, 63))) std::abort();
  if (holder) {
    if (holder->pid <= 0 || holder->version.empty()) std::abort();
    if (holder->version.find(',') != std::string::npos) std::abort();
    // A version of visible ASCII (what bundles carry) writes back to the same holder; blanks at
    // its ends would be trimmed on the way back.
    bool plain = true;
    for (const char c : holder->version) plain = plain && c > ' ' && c <= '~';
    const std::string line = ServiceLockFile::holderLine(holder->pid, holder->version);
    if (plain && line.size() <= 63 && ServiceLockFile::parseLockHolder(line) != holder) std::abort();
  }
  if (const auto pid = ServiceLockFile::parseStandbyMarker(bytes); pid && *pid <= 0) std::abort();
  ServiceLockFile::parseHolderPid(bytes);
  return 0;
}
