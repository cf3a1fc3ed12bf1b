#include "GatewayShares.h"

#include <fstream>
#include <sstream>

#include "AttrManager.h"
#include "FolderPaths.h"
#include "mounts/Mounts.h"

namespace pellora::nautilus {

GatewayShares::GatewayShares(std::string mountInfoPath)
    : mountInfoPath_(std::move(mountInfoPath)) {}

std::optional<std::string> GatewayShares::shareOf(const std::string& path) {
  std::ifstream in(mountInfoPath_);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  if (text.str() != table_) {
    table_ = text.str();
    isGateway_.clear();
  }
  // The innermost mount holding path decides.
  const platform::mounts::Mount* holder = nullptr;
  const auto mounts = platform::mounts::parseMountInfo(table_);
  for (const auto& m : mounts) {
    if (!pellora::host::isAtOrBelow(path, m.mountPoint)) continue;
    if (!holder || m.mountPoint.size() >= holder->mountPoint.size()) holder = &m;
  }
  if (!holder || holder->type != "smbfs") return std::nullopt;
  auto [it, added] = isGateway_.try_emplace(holder->mountPoint, false);
  if (added) it->second = AttrManager().isZavroMount(holder->mountPoint);
  if (!it->second) return std::nullopt;
  return holder->mountPoint;
}

}  // namespace pellora::nautilus
