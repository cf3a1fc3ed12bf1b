#include "FolderPaths.h"

#include <algorithm>
#include <filesystem>

namespace pellora::host {
namespace fs = std::filesystem;

std::string normalPath(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(path.empty() ? "." : path, ec);
  if (ec) p = path;
  std::string out = p.lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

bool isAtOrBelow(const std::string& path, const std::string& folder) {
  if (folder == "/") return !path.empty() && path[0] == '/';
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

bool isCovered(const std::string& path, const std::set<std::string>& folders) {
  return std::any_of(folders.begin(), folders.end(),
                     [&](const std::string& f) { return isAtOrBelow(path, f); });
}

std::string parentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string childOf(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

std::optional<std::vector<std::string>> listItems(const std::string& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return std::nullopt;
  fs::directory_iterator it(folder, ec);
  if (ec) return std::nullopt;
  std::vector<std::string> names;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::string name = it->path().filename().string();
    if (!name.empty() && name[0] != '.') names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace pellora::host
