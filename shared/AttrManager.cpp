#include "AttrManager.h"

#include <algorithm>

#include "CLog.h"
#include "Localization.h"
#include "xattr/Xattr.h"

std::optional<std::vector<uint8_t>> AttrManager::readAttrValue(std::string_view name,
                                                               const std::string& url,
                                                               size_t len) const {
  if (len == 0) return std::nullopt;
  std::vector<uint8_t> buffer(len, 0);
  if (platform::xattr::get(url, std::string(name), buffer.data(), len, 0, 0) < 0) {
    return std::nullopt;
  }
  // The last byte goes whatever the read length was.
  buffer.pop_back();
  return buffer;
}

bool AttrManager::hasZavroValue(std::string_view name, const std::string& url) const {
  const auto bytes = readAttrValue(name, url, 6);
  if (!bytes) return false;
  if (std::any_of(bytes->begin(), bytes->end(), [](uint8_t b) { return b > 0x7F; })) return false;
  return std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()) ==
         Keys::zavroValue;
}

bool AttrManager::isStub(const std::string& url) const { return hasZavroValue(Keys::isStub, url); }

bool AttrManager::isZavroMount(const std::string& url) const {
  return hasZavroValue(Keys::isZavro, url);
}

const char* AttrManager::caseName(DownloadState state) {
  static const char* const names[] = {"success",
                                      "syncSuspended",
                                      "syncNotRunning",
                                      "downloadTaskNotRunning",
                                      "invalidFolderID",
                                      "failedToFindFile",
                                      "insertToQueueFailed",
                                      "isNotStub",
                                      "downloadDisabledCriticalStorage",
                                      "syncDisabledCriticalStorage"};
  return names[static_cast<int>(state)];
}

AttrManager::DownloadState AttrManager::bringFileOnline(const std::string& url) const {
  const auto bytes = readAttrValue("zavro.download.file", url, 2);
  if (!bytes || bytes->empty()) return DownloadState::insertToQueueFailed;
  const uint8_t digit = bytes->front();
  if (digit < '0' || digit > '9') return DownloadState::insertToQueueFailed;
  const auto state = static_cast<DownloadState>(digit - '0');
  if (state == DownloadState::success) return state;
  const size_t slash = url.find_last_of('/');
  const std::string name = slash == std::string::npos ? url : url.substr(slash + 1);
  CLOG_USER(StringTag::Service, "\"" + name + "\": " + localizedString(caseName(state)));
  return state;
}
