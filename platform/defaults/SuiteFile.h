// The file of one defaults suite: a JSON object whose members are the suite's keys. Readers
// never see a torn file: every change is written to a temporary file, flushed to disk and
// renamed over the old one, under an exclusive lock on a lock file beside it, so that a writer
// killed at any moment leaves the old or the new content, and writers of different keys in
// different processes never lose each other's keys.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "defaults/Value.h"

namespace platform::defaults {

using Dictionary = Value::Dictionary;
// A key with a value is set, a key with nothing is removed.
using Changes = std::map<std::string, std::optional<Value>>;

// The keys of a suite file's bytes. JSON null, and values nested deeper than kMaxDepth, are no
// values and are left out. Nothing when the bytes are not a JSON object.
std::optional<Dictionary> parseSuite(std::string_view bytes);
// The file's bytes for the keys (text that is not UTF-8 is written with replacement characters).
std::string serializeSuite(const Dictionary& keys);
inline constexpr int kMaxDepth = 64;

class SuiteFile {
 public:
  explicit SuiteFile(std::string path);

  const std::string& path() const { return path_; }

  // The keys; empty when the file does not exist; nothing when it cannot be read or parsed.
  std::optional<Dictionary> read() const;
  // Applies the changes to the file's current content. A file that cannot be parsed is kept
  // beside it as "<file>.corrupt" and replaced. The folder is created (0700) when missing.
  bool update(const Changes& changes) const;

 private:
  // Temporary file, flush, rename, flush of the folder; the caller holds the lock.
  bool write(const Dictionary& keys) const;

  std::string path_;
};

}  // namespace platform::defaults
