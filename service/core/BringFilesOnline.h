// What request dispatch needs of the shared bring-online controller.
#pragma once

#include <functional>
#include <string>
#include <vector>

class BringFilesOnline {
 public:
  virtual ~BringFilesOnline() = default;
  // Must call completion exactly once, on the main queue.
  virtual void bringFilesOnline(const std::vector<std::string>& paths,
                                std::function<void()> completion) = 0;
};
