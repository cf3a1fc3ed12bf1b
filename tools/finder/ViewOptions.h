// Finder's window view options per folder, as scripting sets them: for each of the list, column
// and icon views whether it shows icon previews and a preview column. A folder nobody set has
// the defaults: Finder's (previews on) unless the user chose others. Kept in memory for the life of Finder. A window shows its
// folder in icon view, so what it previews follows the icon view's showsIconPreview.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellora::finder {

enum class View { List, Column, Icon };

struct ViewSettings {
  bool showsIconPreview = true;
  bool showsPreviewColumn = true;
};

struct WindowViewOptions {
  ViewSettings list;
  ViewSettings column;
  ViewSettings icon;

  ViewSettings& of(View view);
  const ViewSettings& of(View view) const;
};

class ViewOptionsStore {
 public:
  // defaults: what a folder nobody scripted has in every view.
  explicit ViewOptionsStore(ViewSettings defaults = {}) : defaults_(defaults) {}
  void setDefaults(ViewSettings defaults) { defaults_ = defaults; }

  // The properties a view's options know, in the scripting dictionary's order.
  static const std::vector<std::string>& properties();
  // "list", "column", "icon".
  static std::string_view nameOf(View view);
  static std::optional<View> viewNamed(std::string_view name);

  // folder is a normal path (FolderPaths.h).
  WindowViewOptions get(const std::string& folder) const;
  std::optional<bool> property(const std::string& folder, View view,
                               const std::string& name) const;
  // False when the view options have no such property.
  bool setProperty(const std::string& folder, View view, const std::string& name, bool value);
  // Whether a window on folder makes previews of its files.
  bool showsPreviews(const std::string& folder) const;

 private:
  ViewSettings defaults_;
  std::map<std::string, WindowViewOptions> folders_;
};

}  // namespace pellora::finder
