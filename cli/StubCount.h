// What a folder holds on a gateway share, as bringing it online sees it: its files (the same
// expansion as the progress window's, ZVFileManager::fileAggregation), each a stub or online by
// the badges' rule (readStubBadge), with its size. A stub's size is the size of the content
// that bringing it online downloads.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "FileList.h"

namespace pellora::cli {

struct FileFacts {
  bool stub = false;
  // Could not be looked at (gone meanwhile, or the gateway refused): neither stub nor online.
  bool unreadable = false;
  uint64_t size = 0;
};

struct StubTally {
  uint64_t stubs = 0;
  uint64_t stubBytes = 0;
  uint64_t online = 0;
  uint64_t onlineBytes = 0;
  uint64_t unreadable = 0;
  void add(const FileFacts& facts);
  StubTally& operator+=(const StubTally& other);
  bool operator==(const StubTally&) const = default;
};

FileFacts factsOf(const std::string& path);
// One entry per file of files, in order.
std::vector<FileFacts> factsOf(const FileList& files);
StubTally tally(const std::vector<FileFacts>& facts);

// "4 stubs (16.4 KB), 1 online file (4.1 KB)", with ", 2 unreadable" when there are such.
std::string describe(const StubTally& tally);
// One line per folder, "PATH: <describe>", and a total line when there are several.
std::string renderStubLines(const std::vector<std::pair<std::string, StubTally>>& folders);
nlohmann::json stubsJson(const std::vector<std::pair<std::string, StubTally>>& folders);

}  // namespace pellora::cli
