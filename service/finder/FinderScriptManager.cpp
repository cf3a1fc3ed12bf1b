#include "finder/FinderScriptManager.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "finderscript/Protocol.h"
#include "text/Format.h"

namespace script = platform::finderscript;

namespace {

// The names of the view-option objects, in their order.
constexpr const char* kViewNames[] = {"List", "Column", "Icon"};

const char* onOff(bool on) { return on ? "on" : "off"; }

struct Entry {
  std::string name;
  unsigned char type;
};

// The entries of a folder in name order; none when it cannot be read (the walk goes on).
std::vector<Entry> entriesOf(const std::string& folder) {
  std::vector<Entry> out;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return out;
  while (const dirent* e = ::readdir(dir)) {
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    out.push_back({n, e->d_type});
  }
  ::closedir(dir);
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return out;
}

std::string childOf(const std::string& folder, const std::string& name) {
  return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

std::shared_ptr<FinderScriptManager> FinderScriptManager::manager() {
  return std::make_shared<FinderScriptManager>();
}

FinderScriptManager::FinderScriptManager()
    : FinderScriptManager(
          ZVFinderApplication::applicationWithBundleIdentifier(script::kFinderBundleIdentifier)) {}

FinderScriptManager::FinderScriptManager(std::shared_ptr<ZVFinderApplication> finderApp)
    : finderApp_(std::move(finderApp)) {}

void FinderScriptManager::send(const std::string& message) {
  if (const auto delegate = delegate_.lock()) {
    delegate->finderScriptManagerDelegateUpdateMessage(message);
  }
}

void FinderScriptManager::setPreviewState(int state, const std::string& rootFolder) {
  cancelFlag_ = false;
  turnPreviewStateForDirURL(state, rootFolder);
  turnPreviewStateForSubFoldersOfRootURL(state, rootFolder);
}

void FinderScriptManager::turnPreviewStateForSubFoldersOfRootURL(int state,
                                                                 const std::string& rootURL) {
  walk(script::pathOfURL(rootURL), true,
       [&](const std::string& dir) { turnPreviewStateForDirURL(state, dir); });
}

std::vector<std::string> FinderScriptManager::allDirsOfRootURL(const std::string& url) {
  std::vector<std::string> dirs;
  walk(script::pathOfURL(url), false, [&](const std::string& dir) { dirs.push_back(dir); });
  return dirs;
}

void FinderScriptManager::walk(const std::string& root, bool stopWhenCancelled,
                               const std::function<void(const std::string&)>& visit) {
  // Depth first and in name order, without recursion: a deep tree cannot exhaust the stack.
  struct Level {
    std::string folder;
    std::vector<Entry> entries;
    size_t next = 0;
  };
  std::vector<Level> stack;
  stack.push_back({root, entriesOf(root)});
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == level.entries.size()) {
      stack.pop_back();
      continue;
    }
    const Entry entry = level.entries[level.next++];
    // Hidden items, and what lies below hidden folders, are passed over; packages are not.
    if (entry.name[0] == '.') continue;
    if (stopWhenCancelled && cancelFlag_) return;
    const std::string path = childOf(level.folder, entry.name);
    bool isDir = entry.type == DT_DIR;
    if (entry.type == DT_UNKNOWN) {
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0) {
        // An item gone since the listing has nothing to tell.
        send(errno == ENOENT ? std::string("No res found")
                             : "Cannot read whether " + path + " is a folder: " +
                                   std::strerror(errno));
        continue;
      }
      isDir = S_ISDIR(st.st_mode);
    }
    if (!isDir) continue;
    visit(path);
    stack.push_back({path, entriesOf(path)});
  }
}

void FinderScriptManager::turnPreviewStateForDirURL(int state, const std::string& dirURL) {
  send(platform::text::format("Running %@", {script::pathOfURL(dirURL)}));
  const auto objects = viewOptiosObjectsFromFinderFolder(folderFromURL(dirURL));
  for (size_t i = 0; i < objects.size() && i < std::size(kViewNames); ++i) {
    turnPreviewStateForViewOptionsObject(state, objects[i], std::string(kViewNames[i]));
  }
}

void FinderScriptManager::turnPreviewStateForViewOptionsObject(
    int state, const std::shared_ptr<script::FinderViewOptions>& object,
    const std::optional<std::string>& viewName) {
  if (!object || !object->respondsTo("showsIconPreview")) return;
  // A read that fails reads as off, as a scripting bridge's failed call answers NO.
  const bool current = object->showsIconPreview().value_or(false);
  const bool on = state == kStateOn;
  if (viewName) {
    if (current == on) {
      send(platform::text::format("View is %@ for %@", {onOff(current), *viewName}));
    } else {
      send(platform::text::format("Turning %@ %@", {onOff(on), *viewName}));
    }
  }
  object->setShowsIconPreview(on);
  object->setShowsPreviewColumn(on);
}

std::shared_ptr<script::FinderFolder> FinderScriptManager::folderFromURL(
    const std::string& url) const {
  if (!finderApp_) return nullptr;
  return finderApp_->folders().objectAtLocation(url);
}

std::vector<std::shared_ptr<script::FinderViewOptions>>
FinderScriptManager::viewOptiosObjectsFromFinderFolder(
    const std::shared_ptr<script::FinderFolder>& folder) const {
  if (!folder) return {};
  const auto window = folder->containerWindow();
  if (!window) return {};
  return {window->listViewOptions(), window->columnViewOptions(), window->iconViewOptions()};
}
