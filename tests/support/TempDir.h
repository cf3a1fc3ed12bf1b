// A temporary folder for one test, removed with everything in it when the test ends.
#pragma once

#include <string>

namespace pellora::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  // Creates the file (and its folders) with the given content; returns its path.
  std::string write(const std::string& relative, const std::string& content = "") const;
  std::string mkdir(const std::string& relative) const;

 private:
  std::string path_;
};

}  // namespace pellora::testing
