// Copies of the build's bundles in a test's folder, so that programs run from a place of the
// test's own choosing and at versions of its choosing. Executables are hard links where the
// file system allows it (the copy is then cheap), plain copies otherwise; Info.plist files
// are always files of the copy's own.
#pragma once

#include <string>

namespace pellora::testing {

// Copies the bundle folder source to destination (which must not exist) with everything in
// it. False when something could not be copied.
bool copyBundle(const std::string& source, const std::string& destination);
// Writes version as CFBundleVersion into bundle/Contents/Info.plist, keeping the other keys.
// The file is replaced, never written through, so that the bundle it was copied from keeps
// its own. False when the list cannot be read or written.
bool stampBundleVersion(const std::string& bundle, const std::string& version);

}  // namespace pellora::testing
