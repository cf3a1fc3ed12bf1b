// Which folders lie on a gateway share: an SMB mount (platform::mounts reports "smbfs") whose
// root carries the gateway's share marker. Read from the mount table, not from the extension,
// so that it holds before the extension has connected and while the service is away.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace pellora::nautilus {

class GatewayShares {
 public:
  // mountInfoPath: the mount table to read (another one in tests).
  explicit GatewayShares(std::string mountInfoPath = "/proc/self/mountinfo");

  // The root of the gateway share path lies on, or nothing.
  std::optional<std::string> shareOf(const std::string& path);

 private:
  std::string mountInfoPath_;
  // The table last read; the markers are read again when it changes.
  std::string table_;
  std::map<std::string, bool> isGateway_;  // mount point -> carries the marker
};

}  // namespace pellora::nautilus
