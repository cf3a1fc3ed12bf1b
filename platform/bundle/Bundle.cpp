#include "bundle/Bundle.h"

#include <filesystem>

#include <mutex>

#include "bundle/PropertyList.h"
#include "bundle/StringsTable.h"

namespace platform::bundle {
namespace fs = std::filesystem;

Bundle::Bundle(std::string path) : path_(std::move(path)) {}

std::optional<Bundle> Bundle::main() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  return containing(exe.string());
}

std::optional<Bundle> Bundle::containing(const std::string& executable) {
  const fs::path exe(executable);
  const fs::path macos = exe.parent_path();
  const fs::path contents = macos.parent_path();
  const fs::path root = contents.parent_path();
  if (macos.filename() != "MacOS" || contents.filename() != "Contents") return std::nullopt;
  const std::string ext = root.extension().string();
  if (ext != ".app" && ext != ".appex") return std::nullopt;
  return Bundle(root.string());
}

std::optional<std::string> Bundle::pathForResource(const std::string& name,
                                                   const std::string& type) const {
  const std::string file = resourcePath() + "/" + name + (type.empty() ? "" : "." + type);
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return std::nullopt;
  return file;
}

std::map<std::string, std::string> Bundle::infoDictionary() const {
  return readPropertyList(contentsPath() + "/Info.plist");
}

std::optional<std::string> Bundle::infoString(const std::string& key) const {
  const auto info = infoDictionary();
  const auto it = info.find(key);
  if (it == info.end()) return std::nullopt;
  return it->second;
}

std::string Bundle::executablePath() const {
  const std::string name = infoString("CFBundleExecutable").value_or(fs::path(path_).stem().string());
  return contentsPath() + "/MacOS/" + name;
}

std::string Bundle::localizedString(const std::string& key, const std::string& value,
                                    const std::string& table) const {
  // Tables are read once per process.
  static std::mutex mutex;
  static std::map<std::string, std::map<std::string, std::string>> tables;
  const std::string file = resourcePath() + "/en.lproj/" + table + ".strings";
  std::lock_guard guard(mutex);
  auto it = tables.find(file);
  if (it == tables.end()) it = tables.emplace(file, readStringsTable(file)).first;
  const auto found = it->second.find(key);
  if (found != it->second.end()) return found->second;
  return value.empty() ? key : value;
}

}  // namespace platform::bundle
