// Prints, for every file under a folder, what each marker reader decides about it.
#include <filesystem>
#include <iostream>
#include <string>

#include "AttrManager.h"
#include "StubBadgeReader.h"
#include "core/ZavroMarkers.h"
#include "process/StandardOptions.h"

int main(int argc, char** argv) {
  constexpr const char* kUsage =
      "usage: attrdump FOLDER\n"
      "Prints, for every file under FOLDER, what each reader of the gateway's markers decides.\n";
  const std::string version = platform::process::toolVersionLine("attrdump", PELLORA_VERSION);
  if (const auto status = platform::process::answerStandardOptions(argc, argv, kUsage, version)) return *status;
  if (argc != 2) {
    std::cerr << kUsage;
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
