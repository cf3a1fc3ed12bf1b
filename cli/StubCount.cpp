#include "StubCount.h"

#include <sys/stat.h>

#include "StubBadgeReader.h"
#include "text/Format.h"

namespace pellora::cli {
namespace {

std::string counted(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

nlohmann::json tallyJson(const StubTally& t) {
  return {{"stubs", t.stubs},   {"stubBytes", t.stubBytes},   {"online", t.online},
          {"onlineBytes", t.onlineBytes}, {"unreadable", t.unreadable}};
}

}  // namespace

void StubTally::add(const FileFacts& facts) {
  if (facts.unreadable) {
    ++unreadable;
  } else if (facts.stub) {
    ++stubs;
    stubBytes += facts.size;
  } else {
    ++online;
    onlineBytes += facts.size;
  }
}

StubTally& StubTally::operator+=(const StubTally& other) {
  stubs += other.stubs;
  stubBytes += other.stubBytes;
  online += other.online;
  onlineBytes += other.onlineBytes;
  unreadable += other.unreadable;
  return *this;
}

FileFacts factsOf(const std::string& path) {
  FileFacts facts;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    facts.unreadable = true;
    return facts;
  }
  facts.size = static_cast<uint64_t>(st.st_size);
  const StubBadgeRead badge = readStubBadge(path);
  // A refused or failed read says nothing about the file.
  facts.unreadable = !badge.access || *badge.access == NetworkAccess::Blocked;
  facts.stub = !facts.unreadable && badge.isStub;
  return facts;
}

std::vector<FileFacts> factsOf(const FileList& files) {
  std::vector<FileFacts> out;
  out.reserve(files.size());
  std::string path;
  for (size_t i = 0; i < files.size(); ++i) {
    files.path(i, path);
    out.push_back(factsOf(path));
  }
  return out;
}

StubTally tally(const std::vector<FileFacts>& facts) {
  StubTally t;
  for (const auto& f : facts) t.add(f);
  return t;
}

std::string describe(const StubTally& t) {
  std::string text = counted(t.stubs, "stub", "stubs") + " (" + platform::text::byteCount(t.stubBytes) + "), " +
                     counted(t.online, "online file", "online files") + " (" +
                     platform::text::byteCount(t.onlineBytes) + ")";
  if (t.unreadable) text += ", " + std::to_string(t.unreadable) + " unreadable";
  return text;
}

std::string renderStubLines(const std::vector<std::pair<std::string, StubTally>>& folders) {
  std::string out;
  StubTally total;
  for (const auto& [path, t] : folders) {
    out += path + ": " + describe(t) + "\n";
    total += t;
  }
  if (folders.size() > 1) out += "total: " + describe(total) + "\n";
  return out;
}

nlohmann::json stubsJson(const std::vector<std::pair<std::string, StubTally>>& folders) {
  nlohmann::json list = nlohmann::json::array();
  StubTally total;
  for (const auto& [path, t] : folders) {
    nlohmann::json entry = tallyJson(t);
    entry["path"] = path;
    list.push_back(std::move(entry));
    total += t;
  }
  return {{"folders", std::move(list)}, {"total", tallyJson(total)}};
}

}  // namespace pellora::cli
