// A service bundle in a test's temporary folder holding the progress window's interface file
// of the source tree. The including target defines PELLORA_SOURCE_DIR.
#pragma once

#include <filesystem>
#include <string>

#include "TempDir.h"
#include "bundle/Bundle.h"

namespace pellora::testing {

inline platform::bundle::Bundle bundleWithMessageWindow(const TempDir& dir) {
  const std::string resources = dir.mkdir("S.app/Contents/Resources");
  std::filesystem::copy_file(std::string(PELLORA_SOURCE_DIR) + "/resources/service/MessageWindow.ui",
                             resources + "/MessageWindow.ui",
                             std::filesystem::copy_options::overwrite_existing);
  return platform::bundle::Bundle(dir / "S.app");
}

}  // namespace pellora::testing
