// Prints, for every file under a folder, what each marker reader decides about it.
#include <filesystem>
#include <iostream>
#include <string>

#include "AttrManager.h"
#include "StubBadgeReader.h"
#include "core/ZavroMarkers.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: attrdump FOLDER\n";
    return 2;
  }
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(argv[1], ec)) {
    std::cerr << "attrdump: not a folder: " << argv[1] << "\n";
    return 2;
  }
  const AttrManager attrs;
  auto yes = [](bool b) { return b ? "yes" : "no "; };
  std::cout << "share  stub(lenient)  stub(strict)  badge  access   path\n";
  for (fs::recursive_directory_iterator it(argv[1], ec), end; it != end; it.increment(ec)) {
    const std::string path = it->path().string();
    const StubBadgeRead badge = readStubBadge(path);
    std::cout << yes(isZavroShareRoot(path)) << "    " << yes(attrs.isStub(path)) << "            "
              << yes(verifyIsCachingFile(path)) << "           " << yes(badge.isStub) << "    "
              << (badge.access ? networkAccessText(*badge.access) : "-") << "\t"
              << fs::relative(it->path(), argv[1]).string() << "\n";
  }
  return 0;
}
