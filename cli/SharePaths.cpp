#include "SharePaths.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/ZavroMarkers.h"

namespace pellora::cli {
namespace {

bool isAtOrBelow(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  if (path.compare(0, folder.size(), folder) != 0) return false;
  return path.size() == folder.size() || path[folder.size()] == '/';
}

}  // namespace

const platform::mounts::Mount* mountHolding(const std::string& path,
                                            const std::vector<platform::mounts::Mount>& mounts) {
  const platform::mounts::Mount* holder = nullptr;
  for (const auto& mount : mounts) {
    if (!isAtOrBelow(path, mount.mountPoint)) continue;
    // Of two mounts at one place the later hides the earlier.
    if (!holder || mount.mountPoint.size() >= holder->mountPoint.size()) holder = &mount;
  }
  return holder;
}

SharePathCheck checkSharePaths(const std::vector<std::string>& given,
                               const std::vector<platform::mounts::Mount>& mounts,
                               const std::function<bool(const std::string&)>& isShareRoot) {
  const auto isShare = isShareRoot ? isShareRoot : [](const std::string& root) { return isZavroShareRoot(root); };
  SharePathCheck check;
  for (const auto& arg : given) {
    char* real = ::realpath(arg.c_str(), nullptr);
    if (!real) {
      const int error = errno;
      check.failure = error == ENOENT || error == ENOTDIR ? kExitMissingPath : kExitFailed;
      check.error = arg + ": " + std::strerror(error);
      return check;
    }
    const std::string path = real;
    std::free(real);
    const platform::mounts::Mount* mount = mountHolding(path, mounts);
    if (!mount || !isSMBMountType(mount->type) || !isShare(mount->mountPoint)) {
      check.failure = kExitNotOnShare;
      check.error = arg + ": not on a gateway share";
      if (mount && isSMBMountType(mount->type)) check.error += " (" + mount->mountPoint + " has no share marker)";
      return check;
    }
    check.paths.push_back({arg, path, mount->mountPoint});
  }
  return check;
}

}  // namespace pellora::cli
