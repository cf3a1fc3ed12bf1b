// The PATH arguments of stubs and bring-online, checked before any work: each must exist and
// lie on a gateway share, by the service's own rule: the innermost mount that holds it is an
// SMB mount whose root carries the share marker (isSMBMountType, isZavroShareRoot).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ExitStatus.h"
#include "mounts/Mounts.h"

namespace pellora::cli {

struct SharePath {
  std::string given;  // as written on the command line
  std::string path;   // absolute, symbolic links resolved
  std::string share;  // the share's root
};

struct SharePathCheck {
  std::vector<SharePath> paths;  // all of them, when failure is kExitOk
  ExitStatus failure = kExitOk;  // the first path's that fails
  std::string error;
};

// isShareRoot: the share marker test of a mount point (isZavroShareRoot by default).
SharePathCheck checkSharePaths(const std::vector<std::string>& given,
                               const std::vector<platform::mounts::Mount>& mounts,
                               const std::function<bool(const std::string&)>& isShareRoot = {});

// The innermost of mounts whose mount point is path or a folder above it.
const platform::mounts::Mount* mountHolding(const std::string& path,
                                            const std::vector<platform::mounts::Mount>& mounts);

}  // namespace pellora::cli
