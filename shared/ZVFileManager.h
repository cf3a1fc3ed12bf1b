// The shared container, the communication file and file aggregation, compiled into every
// program; the extension uses only the classification of a selected item.
#pragma once

#include <string>

class ZVFileManager {
 public:
  enum class Result { stubFile = 0, folder = 1, onlineFile = 2, missing = 3 };

  // What is at url's path: a folder (without a stub test), a stub or online file, or nothing.
  Result isDir(const std::string& url) const;
};
