#include "Application.h"

#include <filesystem>

#include "ServiceEnableHandler.h"
#include "paths/Paths.h"
#include "workspace/Workspace.h"

namespace pellora::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBundleName = "Zavro Pellora.app";

bool isApplication(const std::string& path) {
  const auto info = platform::workspace::bundleInfo(path);
  return info && info->identifier == kMainAppBundleIdentifier;
}

}  // namespace

std::vector<std::string> applicationCandidates(const std::string& executable) {
  std::vector<std::string> out;
  if (!executable.empty()) {
    const fs::path beside = fs::path(executable).parent_path().parent_path() / "bundles" / kBundleName;
    out.push_back(beside.lexically_normal().string());
  }
  out.push_back(platform::paths::applicationsDirectory() + "/" + kBundleName);
  return out;
}

ApplicationLookup findApplication(const std::optional<std::string>& given, const std::string& executable) {
  if (given) {
    std::error_code ec;
    if (!fs::exists(*given, ec)) return {std::nullopt, kExitMissingPath, *given + ": no such application bundle"};
    if (!isApplication(*given)) {
      return {std::nullopt, kExitUsage, *given + ": not the Zavro Pellora application (" +
                                            std::string(kMainAppBundleIdentifier) + ")"};
    }
    return {platform::workspace::resolvingSymlinks(*given), kExitOk, {}};
  }
  std::string looked;
  for (const auto& candidate : applicationCandidates(executable)) {
    if (isApplication(candidate)) return {platform::workspace::resolvingSymlinks(candidate), kExitOk, {}};
    looked += (looked.empty() ? "" : ", ") + candidate;
  }
  return {std::nullopt, kExitMissingPath, "no Zavro Pellora application at " + looked + " (give it with --app PATH)"};
}

std::string serviceBundleOf(const std::string& application) {
  return application + "/" + kServiceBundleInApp;
}

}  // namespace pellora::cli
