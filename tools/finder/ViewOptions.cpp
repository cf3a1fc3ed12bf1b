#include "ViewOptions.h"

namespace pellora::finder {

ViewSettings& WindowViewOptions::of(View view) {
  switch (view) {
    case View::List:
      return list;
    case View::Column:
      return column;
    case View::Icon:
      break;
  }
  return icon;
}

const ViewSettings& WindowViewOptions::of(View view) const {
  return const_cast<WindowViewOptions*>(this)->of(view);
}

const std::vector<std::string>& ViewOptionsStore::properties() {
  static const std::vector<std::string> names{"showsIconPreview", "showsPreviewColumn"};
  return names;
}

std::string_view ViewOptionsStore::nameOf(View view) {
  switch (view) {
    case View::List:
      return "list";
    case View::Column:
      return "column";
    case View::Icon:
      break;
  }
  return "icon";
}

std::optional<View> ViewOptionsStore::viewNamed(std::string_view name) {
  for (const View view : {View::List, View::Column, View::Icon}) {
    if (nameOf(view) == name) return view;
  }
  return std::nullopt;
}

WindowViewOptions ViewOptionsStore::get(const std::string& folder) const {
  const auto it = folders_.find(folder);
  return it == folders_.end() ? WindowViewOptions{defaults_, defaults_, defaults_} : it->second;
}

std::optional<bool> ViewOptionsStore::property(const std::string& folder, View view,
                                               const std::string& name) const {
  const ViewSettings settings = get(folder).of(view);
  if (name == "showsIconPreview") return settings.showsIconPreview;
  if (name == "showsPreviewColumn") return settings.showsPreviewColumn;
  return std::nullopt;
}

bool ViewOptionsStore::setProperty(const std::string& folder, View view, const std::string& name,
                                   bool value) {
  if (name != "showsIconPreview" && name != "showsPreviewColumn") return false;
  auto it = folders_.find(folder);
  if (it == folders_.end()) it = folders_.emplace(folder, get(folder)).first;
  ViewSettings& settings = it->second.of(view);
  (name == "showsIconPreview" ? settings.showsIconPreview : settings.showsPreviewColumn) = value;
  return true;
}

bool ViewOptionsStore::showsPreviews(const std::string& folder) const {
  return get(folder).icon.showsIconPreview;
}

}  // namespace pellora::finder
