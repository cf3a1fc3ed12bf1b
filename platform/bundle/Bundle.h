// Application bundles in the platform's layout: X.app/Contents/{Info.plist, MacOS/<exe>,
// Resources/...}. A program that does not live inside such a folder has no main bundle.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace platform::bundle {

class Bundle {
 public:
  explicit Bundle(std::string path);

  // The bundle of the running executable.
  static std::optional<Bundle> main();
  // The bundle whose Contents/MacOS holds executable (an ".app" or ".appex" folder).
  static std::optional<Bundle> containing(const std::string& executable);

  const std::string& path() const { return path_; }
  std::string contentsPath() const { return path_ + "/Contents"; }
  std::string resourcePath() const { return path_ + "/Contents/Resources"; }
  // Contents/Info.plist as key -> text (strings, numbers and true/false as written).
  std::map<std::string, std::string> infoDictionary() const;
  std::optional<std::string> infoString(const std::string& key) const;
  std::optional<std::string> bundleIdentifier() const { return infoString("CFBundleIdentifier"); }
  std::string executablePath() const;

  // The translation of key in Resources/en.lproj/<table>.strings; when there is none, value,
  // or the key itself when value is empty.
  std::string localizedString(const std::string& key, const std::string& value = "",
                              const std::string& table = "Localizable") const;

  // Resources/<name>.<type> when that file exists.
  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::string& type) const;

 private:
  std::string path_;
};

}  // namespace platform::bundle
