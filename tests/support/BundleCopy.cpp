#include "BundleCopy.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "bundle/PropertyList.h"

namespace pellora::testing {
namespace fs = std::filesystem;

bool copyBundle(const std::string& source, const std::string& destination) {
  std::error_code ec;
  if (fs::exists(destination, ec) || !fs::is_directory(source, ec)) return false;
  fs::create_directories(destination, ec);
  if (ec) return false;
  for (auto it = fs::recursive_directory_iterator(source, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::path target = fs::path(destination) / fs::relative(it->path(), source);
    if (it->is_symlink(ec)) {
      fs::copy_symlink(it->path(), target, ec);
    } else if (it->is_directory(ec)) {
      fs::create_directories(target, ec);
    } else if (it->path().filename() == "Info.plist") {
      fs::copy_file(it->path(), target, ec);
    } else {
      fs::create_hard_link(it->path(), target, ec);
      if (ec) {
        ec.clear();
        fs::copy_file(it->path(), target, ec);
      }
    }
    if (ec) return false;
  }
  return !ec;
}

bool stampBundleVersion(const std::string& bundle, const std::string& version) {
  const std::string plist = bundle + "/Contents/Info.plist";
  auto keys = platform::bundle::readPropertyList(plist);
  if (keys.empty()) return false;
  keys["CFBundleVersion"] = version;
  const std::string temp = plist + ".stamp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << platform::bundle::writePropertyList(keys);
    if (!out.flush()) return false;
  }
  return std::rename(temp.c_str(), plist.c_str()) == 0;
}

}  // namespace pellora::testing
