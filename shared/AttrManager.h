// Reads the gateway's markers: whether a file is a stub and whether a folder is a share root.
// Stateless; every failure reads as "no".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class AttrManager {
 public:
  struct Keys {
    static constexpr std::string_view isStub = "is.zavro.stub";
    static constexpr std::string_view isZavro = "is.zavro.share";
    static constexpr std::string_view zavroValue = "ZAVRO";
  };

  // A 5-byte "ZAVRO", or a 6-byte value that begins with it, marks a stub.
  bool isStub(const std::string& url) const;
  // The same rule for the share marker of a mount point.
  bool isZavroMount(const std::string& url) const;

  // The gateway's answer to a download request; the case names are also localisation keys.
  enum class DownloadState {
    success = 0,
    syncSuspended = 1,
    syncNotRunning = 2,
    downloadTaskNotRunning = 3,
    invalidFolderID = 4,
    failedToFindFile = 5,
    insertToQueueFailed = 6,
    isNotStub = 7,
    downloadDisabledCriticalStorage = 8,
    syncDisabledCriticalStorage = 9,
  };
  static const char* caseName(DownloadState state);

  // Asks the gateway for the file's content by reading its download attribute; blocks until
  // the gateway answers. Failures other than an unreadable answer are logged for the user.
  DownloadState bringFileOnline(const std::string& url) const;

 private:
  bool hasZavroValue(std::string_view name, const std::string& url) const;
  // Reads at most len bytes into a zeroed buffer and returns its first len - 1 bytes, or
  // nothing when the read fails.
  std::optional<std::vector<uint8_t>> readAttrValue(std::string_view name, const std::string& url,
                                                    size_t len) const;
};
