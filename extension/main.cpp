// PelloraFinder: the Finder extension's process. Finder starts it and creates its principal
// objects; everything else happens in FinderSync and RequestManager.
#include <memory>

#include "FinderSync.h"
#include "bundle/Bundle.h"
#include "log/Log.h"

int main() {
  const auto bundle = platform::bundle::Bundle::main();
  platform::log::emit({"", "", platform::log::Level::Error,
                       "Zavro FinderSync Integration launched from " +
                           (bundle ? bundle->path() : std::string("(null)"))});
  return platform::findersync::runExtension([] { return std::make_shared<FinderSync>(); });
}
