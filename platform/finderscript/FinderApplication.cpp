#include "finderscript/FinderApplication.h"

#include "finderscript/Connection.h"
#include "finderscript/Protocol.h"

namespace platform::finderscript {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<bool> FinderViewOptions::showsIconPreview() const {
  const auto value = getProperty("showsIconPreview");
  if (!value || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

bool FinderViewOptions::setShowsIconPreview(bool shows) const {
  return setProperty("showsIconPreview", shows);
}

bool FinderViewOptions::setShowsPreviewColumn(bool shows) const {
  return setProperty("showsPreviewColumn", shows);
}

std::shared_ptr<FinderViewOptions> FinderWindow::listViewOptions() const {
  return getObject<FinderViewOptions>("listViewOptions");
}

std::shared_ptr<FinderViewOptions> FinderWindow::columnViewOptions() const {
  return getObject<FinderViewOptions>("columnViewOptions");
}

std::shared_ptr<FinderViewOptions> FinderWindow::iconViewOptions() const {
  return getObject<FinderViewOptions>("iconViewOptions");
}

std::shared_ptr<FinderWindow> FinderFolder::containerWindow() const {
  return getObject<FinderWindow>("containerWindow");
}

std::shared_ptr<FinderFolder> SBElementArray::objectAtLocation(const std::string& url) const {
  return std::make_shared<FinderFolder>(connection_, message::folderAt(pathOfURL(url)), "folder");
}

std::shared_ptr<FinderApplication> FinderApplication::applicationWithBundleIdentifier(
    const std::string& bundleIdentifier) {
  if (bundleIdentifier != kFinderBundleIdentifier) return nullptr;
  return applicationAtSocket(finderScriptingSocket());
}

std::shared_ptr<FinderApplication> FinderApplication::applicationAtSocket(
    const std::string& socketPath) {
  return std::shared_ptr<FinderApplication>(
      new FinderApplication(std::make_shared<Connection>(socketPath)));
}

void FinderApplication::setTimeout(std::chrono::milliseconds timeout) {
  connection_->setTimeout(timeout);
}

std::string pathOfURL(const std::string& url) {
  constexpr std::string_view scheme = "file://";
  if (url.compare(0, scheme.size(), scheme) != 0) return url;
  std::string path;
  for (size_t i = scheme.size(); i < url.size(); ++i) {
    if (url[i] == '%' && i + 2 < url.size() && hexValue(url[i + 1]) >= 0 &&
        hexValue(url[i + 2]) >= 0) {
      path += static_cast<char>(hexValue(url[i + 1]) * 16 + hexValue(url[i + 2]));
      i += 2;
    } else {
      path += url[i];
    }
  }
  // "file://localhost/a" names the same file as "file:///a".
  if (path.rfind("localhost/", 0) == 0) path.erase(0, 9);
  return path;
}

}  // namespace platform::finderscript
