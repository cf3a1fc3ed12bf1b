// PelloraFinder: the Finder extension's process. Finder starts it and creates its principal
// objects; everything else happens in FinderSync and RequestManager.
#include <memory>

#include "FinderSync.h"
#include "bundle/Bundle.h"
#include "log/Log.h"
#include "process/StandardOptions.h"
#include "workspace/Workspace.h"

namespace {

constexpr const char* kUsage =
    "usage: PelloraFinder\n"
    "\n"
    "The Finder extension of Zavro Pellora: stub badges and the Bring Online menu on gateway\n"
    "shares. Finder starts it (from the service's bundle) once the plug-in tool has switched it\n"
    "on; it is not run by hand.\n"
    "\n"
    "  --help     print this text\n"
    "  --version  print the version\n";

}  // namespace

int main(int argc, char** argv) {
  const std::string version = platform::workspace::bundleVersionLine("PelloraFinder", PELLORA_VERSION);
  if (const auto status = platform::process::answerStandardOptions(argc, argv, kUsage, version)) return *status;
  const auto bundle = platform::bundle::Bundle::main();
  platform::log::emit({"", "", platform::log::Level::Error,
                       "Zavro FinderSync Integration launched from " +
                           (bundle ? bundle->path() : std::string("(null)"))});
  return platform::findersync::runExtension([] { return std::make_shared<FinderSync>(); });
}
