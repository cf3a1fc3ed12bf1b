#include "ZVFileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "CLog.h"
#include "Localization.h"
#include "log/Log.h"
#include "paths/Paths.h"

namespace {

std::string errorText(const std::string& what, const std::string& path, int err) {
  return what + " \"" + path + "\": " + std::strerror(err);
}

// Appends every entry below folder that is not a folder, depth first, in the order the
// directory gives them; folders that cannot be opened are passed over. A folder's path is
// stored once, when its first file is found.
void collectFiles(std::string& path, FileList& out) {
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return;
  const size_t base = path.size();
  std::optional<uint32_t> folder;
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    bool isFolder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st {};
      if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        platform::log::classic("Error: " + errorText("Cannot read the kind of", path + '/' + name, errno));
      }
      isFolder = S_ISDIR(st.st_mode);
    }
    if (isFolder) {
      path += '/';
      path += name;
      collectFiles(path, out);
      path.resize(base);
      continue;
    }
    if (!folder) folder = out.addFolder(path);
    out.add(*folder, name);
  }
  ::closedir(dir);
}

}  // namespace

std::optional<std::string> ZVFileManager::sharedApplicationSupportDir() {
  if (sharedApplicationSupportDir_) return *sharedApplicationSupportDir_;
  const std::string support = platform::paths::applicationSupportDirectory();
  // The platform's Application Support folder always exists; a fresh account here may lack
  // the data folder that stands for it, so it is made.
  std::error_code ec;
  std::filesystem::create_directories(support, ec);
  if (support.empty() || !std::filesystem::is_directory(support, ec)) {
    CLOG(StringTag::Service, errorText("No Application Support folder at", support, ENOTDIR));
    sharedApplicationSupportDir_ = std::optional<std::string>();
    return std::nullopt;
  }
  const std::string dir = support + "/com.zavro.Pellora.shared";
  createDirIfNeede(dir);
  sharedApplicationSupportDir_ = dir;
  return dir;
}

std::optional<std::string> ZVFileManager::communicationDir() {
  if (communicationDir_) return *communicationDir_;
  const auto shared = sharedApplicationSupportDir();
  if (!shared) {
    communicationDir_ = std::optional<std::string>();
    return std::nullopt;
  }
  const std::string dir = *shared + "/Communication";
  createDirIfNeede(dir);
  communicationDir_ = dir;
  return dir;
}

std::optional<std::string> ZVFileManager::communicationFileURL() {
  if (communicationFileURL_) return *communicationFileURL_;
  const auto dir = communicationDir();
  communicationFileURL_ = dir ? std::optional<std::string>(*dir + "/commnuication_file.json")
                              : std::optional<std::string>();
  return *communicationFileURL_;
}

void ZVFileManager::createDirIfNeede(const std::string& url) {
  struct stat st {};
  if (::lstat(url.c_str(), &st) == 0) return;
  if (::mkdir(url.c_str(), 0755) != 0) {
    CLOG(StringTag::Service, errorText("Could not create the folder", url, errno));
  }
}

std::optional<bool> ZVFileManager::previewStateEnabled() {
  const auto file = communicationFileURL();
  if (!file) {
    CLOG(StringTag::Service, "Error reading previewState value");
    return std::nullopt;
  }
  std::ifstream in(*file, std::ios::binary);
  if (!in) {
    CLOG(StringTag::Service, errorText("Could not read", *file, errno));
    return std::nullopt;
  }
  std::stringstream text;
  text << in.rdbuf();
  const auto state = decodePreviewState(text.str());
  if (!state) {
    CLOG(StringTag::Service, "The data couldn't be read because it isn't in the correct format: " + *file);
    return std::nullopt;
  }
  return state->previewEnabled;
}

std::optional<FinderPreviewState> ZVFileManager::decodePreviewState(std::string_view bytes) {
  const auto json = nlohmann::json::parse(bytes, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  const auto it = json.find("previewEnabled");
  if (it == json.end() || !it->is_boolean()) return std::nullopt;
  return FinderPreviewState{it->get<bool>()};
}

void ZVFileManager::setPreviewStateEnabled(std::optional<bool> enabled) {
  const auto file = communicationFileURL();
  if (!file || !enabled) {
    CLOG(StringTag::Service, "Error writing previewState value");
    return;
  }
  struct stat st {};
  if (::lstat(file->c_str(), &st) == 0 && ::unlink(file->c_str()) != 0) {
    CLOG(StringTag::Service, errorText("Could not remove", *file, errno));
    return;
  }
  // Removed and written anew, never edited in place: watchers of the folder see both.
  const std::string data = nlohmann::json({{"previewEnabled", *enabled}}).dump();
  std::ofstream out(*file, std::ios::binary | std::ios::trunc);
  if (!out || !out.write(data.data(), static_cast<std::streamsize>(data.size())) || !out.flush()) {
    CLOG(StringTag::Service, errorText("Could not write", *file, errno));
  }
}

ZVFileManager::Result ZVFileManager::isDir(const std::string& url) const {
  struct stat st {};
  if (::stat(url.c_str(), &st) != 0) return Result::missing;
  if (S_ISDIR(st.st_mode)) return Result::folder;
  return attrManager_.isStub(url) ? Result::stubFile : Result::onlineFile;
}

std::shared_ptr<platform::dispatch::Queue> ZVFileManager::aggregationQueue() {
  std::lock_guard guard(queueLock_);
  return aggregationQueue_;
}

void ZVFileManager::filesWithoutDirs(const std::string& url, FileList& files,
                                    std::optional<ZVError>& error) {
  struct stat st {};
  if (::lstat(url.c_str(), &st) != 0) {
    if (errno != ENOENT) platform::log::classic("Error: " + errorText("Cannot read the kind of", url, errno));
    files.push_back(url);
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(url);
    return;
  }
  // Readable means the folder can be opened for listing.
  const int fd = ::open(url.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* probe = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (!probe) {
    if (fd >= 0) ::close(fd);
    CLOG(StringTag::Service, "No read permission at " + url);
    error = ZVError{"com.zavro", 0, localizedString("no permission to folders")};
    return;
  }
  ::closedir(probe);
  std::string path = url;
  collectFiles(path, files);
}

void ZVFileManager::fileAggregation(const std::vector<std::string>& paths,
                                    AggregationCompletion completion) {
  auto queue = platform::dispatch::makeSerialQueue("AggregationQueue");
  {
    std::lock_guard guard(queueLock_);
    aggregationQueue_ = queue;
  }
  std::weak_ptr<ZVFileManager> weak = weak_from_this();
  // The result is moved from here to the completion: one list, never copied.
  auto finish = [weak, queue, completion = std::move(completion)](FileList urls,
                                                                  std::optional<ZVError> error) {
    platform::dispatch::mainQueue()->async(
        [completion, urls = std::move(urls), error = std::move(error)]() mutable {
          completion(std::move(urls), std::move(error));
        });
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard guard(self->queueLock_);
    if (self->aggregationQueue_ == queue) self->aggregationQueue_.reset();
  };
  queue->async([weak, paths, finish = std::move(finish)] {
    CLOG(StringTag::Service, "Mapping paths -> URLs...");
    // The paths are the file URLs here: nothing to map.
    CLOG(StringTag::Service, "Mapping paths -> URLs completed.");
    FileList result;
    for (const auto& url : paths) {
      auto self = weak.lock();
      if (!self) continue;
      std::optional<ZVError> error;
      self->filesWithoutDirs(url, result, error);
      if (error) {
        finish({}, std::move(error));
        return;
      }
    }
    finish(std::move(result), std::nullopt);
  });
}
