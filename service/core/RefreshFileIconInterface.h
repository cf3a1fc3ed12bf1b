// Where a directory watcher reports a file whose badge may have changed.
#pragma once

#include <string>

class RefreshFileIconInterface {
 public:
  virtual ~RefreshFileIconInterface() = default;
  // Returns whether a refresh was sent.
  virtual bool refreshFileIcon(std::string& path) = 0;
};
