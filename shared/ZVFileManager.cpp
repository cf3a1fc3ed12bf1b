#include "ZVFileManager.h"

#include <sys/stat.h>

#include "AttrManager.h"

ZVFileManager::Result ZVFileManager::isDir(const std::string& url) const {
  struct stat st {};
  if (::stat(url.c_str(), &st) != 0) return Result::missing;
  if (S_ISDIR(st.st_mode)) return Result::folder;
  return AttrManager().isStub(url) ? Result::stubFile : Result::onlineFile;
}
