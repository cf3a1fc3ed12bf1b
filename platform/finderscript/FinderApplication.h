// Finder's scripting interface, as far as the system uses it: the application's folders, a
// folder's container window, and the window's list, column and icon view options with their
// preview properties. Every call that reaches Finder blocks until Finder answers or the
// connection's time-out passes; a failed call is logged and answers nothing (null, nothing,
// false), as a scripting bridge's call answers nil.
//
//   auto finder = FinderApplication::applicationWithBundleIdentifier("com.apple.finder");
//   auto window = finder->folders().objectAtLocation(path)->containerWindow();  // one call
//   auto icon = window ? window->iconViewOptions() : nullptr;                   // one call
//   if (icon && icon->respondsTo("showsIconPreview")) icon->setShowsIconPreview(false);
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "finderscript/SBObject.h"

namespace platform::finderscript {

class Connection;

// List, column or icon view options of a window.
class FinderViewOptions : public SBObject {
 public:
  using SBObject::SBObject;
  std::optional<bool> showsIconPreview() const;
  bool setShowsIconPreview(bool shows) const;
  bool setShowsPreviewColumn(bool shows) const;
};

class FinderWindow : public SBObject {
 public:
  using SBObject::SBObject;
  std::shared_ptr<FinderViewOptions> listViewOptions() const;
  std::shared_ptr<FinderViewOptions> columnViewOptions() const;
  std::shared_ptr<FinderViewOptions> iconViewOptions() const;
};

class FinderFolder : public SBObject {
 public:
  using SBObject::SBObject;
  // The window that shows the folder; null when Finder cannot resolve the folder.
  std::shared_ptr<FinderWindow> containerWindow() const;
};

// The application's folders element; makes references without asking Finder.
class SBElementArray {
 public:
  explicit SBElementArray(std::shared_ptr<Connection> connection)
      : connection_(std::move(connection)) {}
  // The folder at a location: an absolute path or a file URL ("file:///a%20b").
  std::shared_ptr<FinderFolder> objectAtLocation(const std::string& url) const;

 private:
  std::shared_ptr<Connection> connection_;
};

class FinderApplication {
 public:
  // The application with that bundle identifier; null for one that cannot be scripted here
  // (only Finder can). Nothing is sent until the first call.
  static std::shared_ptr<FinderApplication> applicationWithBundleIdentifier(
      const std::string& bundleIdentifier);
  // Finder at another scripting socket (tests).
  static std::shared_ptr<FinderApplication> applicationAtSocket(const std::string& socketPath);

  SBElementArray folders() const { return SBElementArray(connection_); }
  // How long each call waits for Finder's answer (Connection::kDefaultTimeout unless set).
  void setTimeout(std::chrono::milliseconds timeout);
  const std::shared_ptr<Connection>& connection() const { return connection_; }

 private:
  explicit FinderApplication(std::shared_ptr<Connection> connection)
      : connection_(std::move(connection)) {}

  std::shared_ptr<Connection> connection_;
};

// A file URL or path as a path ("file:///a%20b" -> "/a b"); other text as it is.
std::string pathOfURL(const std::string& url);

}  // namespace platform::finderscript
