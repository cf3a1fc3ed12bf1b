#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "bundle/Bundle.h"
#include "dispatch/Queue.h"
#include "process/Process.h"
#include "workspace/Workspace.h"

namespace platform::workspace {
namespace fs = std::filesystem;

std::string resolvingSymlinks(const std::string& path) {
  if (path.empty()) return path;
  std::error_code ec;
  const fs::path resolved = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) return path;
  return resolved.string();
}

std::optional<std::string> enclosingBundlePath(const std::string& executable) {
  fs::path p = fs::path(executable).parent_path();
  while (!p.empty() && p != p.root_path()) {
    const std::string ext = p.extension().string();
    if (ext == ".app" || ext == ".appex") return p.string();
    p = p.parent_path();
  }
  return std::nullopt;
}

std::optional<BundleInfo> bundleInfo(const std::string& bundlePath) {
  std::error_code ec;
  const std::string path = resolvingSymlinks(bundlePath);
  if (path.empty() || !fs::is_directory(path, ec)) return std::nullopt;
  const bundle::Bundle b(path);
  const auto info = b.infoDictionary();
  const auto text = [&](const char* key) -> std::optional<std::string> {
    const auto it = info.find(key);
    if (it == info.end()) return std::nullopt;
    return it->second;
  };
  BundleInfo out;
  out.path = path;
  out.identifier = text("CFBundleIdentifier");
  out.version = text("CFBundleVersion");
  out.shortVersion = text("CFBundleShortVersionString");
  out.executablePath = b.executablePath();
  return out;
}

std::optional<BundleInfo> mainBundleInfo() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  const auto bundle = enclosingBundlePath(exe.string());
  if (!bundle) return std::nullopt;
  return bundleInfo(*bundle);
}

std::string bundleVersionLine(const std::string& name, const std::string& builtVersion) {
  const auto info = mainBundleInfo();
  const std::string shortVersion = info && info->shortVersion ? *info->shortVersion : builtVersion;
  const std::string build = info && info->version ? *info->version : "";
  return name + " " + shortVersion + (build.empty() ? "" : " (" + build + ")");
}

void openApplicationNow(const std::string& bundlePath, const OpenConfiguration& configuration,
                        std::optional<RunningApplication>& app, std::optional<std::string>& error) {
  const auto info = bundleInfo(bundlePath);
  if (!info) {
    error = "The application at " + bundlePath + " cannot be opened: no such bundle";
    return;
  }
  if (!configuration.createsNewApplicationInstance && info->identifier) {
    for (auto& running : RunningApplication::runningApplications(*info->identifier)) {
      if (running.bundleURL() == info->path && !running.isTerminated()) {
        app = std::move(running);
        return;
      }
    }
  }
  std::vector<std::string> argv{info->executablePath};
  argv.insert(argv.end(), configuration.arguments.begin(), configuration.arguments.end());
  auto environment = configuration.environment;
  environment.try_emplace("XPC_SERVICE_NAME", std::nullopt);
  const auto spawned = process::spawnDetached(argv, environment);
  if (spawned.pid <= 0) {
    error = "The application at " + info->path + " cannot be opened: " +
            std::strerror(spawned.error);
    return;
  }
  // A program that ended at once is still the one that was opened.
  if (auto found = RunningApplication::describe(spawned.pid, info->executablePath)) {
    app = std::move(found);
    return;
  }
  RunningApplication ended(spawned.pid, nullptr);
  ended.bundleURL_ = info->path;
  ended.bundleIdentifier_ = info->identifier;
  ended.executableURL_ = info->executablePath;
  app = std::move(ended);
}

void openApplication(const std::string& bundlePath, const OpenConfiguration& configuration,
                     OpenCompletion completion) {
  dispatch::globalQueue(dispatch::QoS::UserInitiated)
      ->async([bundlePath, configuration, completion = std::move(completion)] {
        std::optional<RunningApplication> app;
        std::optional<std::string> error;
        openApplicationNow(bundlePath, configuration, app, error);
        if (completion) completion(std::move(app), std::move(error));
      });
}

bool openURL(const std::string& url) {
  if (url.empty() || url[0] == '-') return false;
  if (const char* capture = std::getenv("PELLORA_OPEN_URL_LOG"); capture && *capture) {
    const int fd = ::open(capture, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::string line = url + "\n";
    const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    return ok;
  }
  const auto opener = process::findExecutable("xdg-open");
  if (!opener) return false;
  return process::spawnDetached({*opener, url}).pid > 0;
}

}  // namespace platform::workspace
