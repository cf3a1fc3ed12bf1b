// A program in a bundle of its own (ConsentProbe.app), for the tests of Finder's consent: asks
// the Finder stand-in whether it may control Finder, as the service does, and scripts it.
//   ConsentProbe check          prints "result N": the answer without asking the user
//   ConsentProbe ask            the same, asking the user (waits for the answer)
//   ConsentProbe script FOLDER  switches FOLDER's icon previews off; prints "set" or "failed"
#include <cstdio>
#include <cstring>
#include <string>

#include "finderscript/Consent.h"
#include "finderscript/FinderApplication.h"
#include "finderscript/Protocol.h"

namespace script = platform::finderscript;

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "check") == 0 || std::strcmp(argv[1], "ask") == 0)) {
    const auto target = script::targetForBundleIdentifier(script::kFinderBundleIdentifier);
    const int result = script::determinePermissionToAutomateTarget(
        *target, script::typeWildCard, script::typeWildCard, std::strcmp(argv[1], "ask") == 0);
    std::printf("result %d\n", result);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "script") == 0) {
    const auto finder =
        script::FinderApplication::applicationWithBundleIdentifier(script::kFinderBundleIdentifier);
    const auto window = finder->folders().objectAtLocation(argv[2])->containerWindow();
    const auto icon = window ? window->iconViewOptions() : nullptr;
    std::puts(icon && icon->setShowsIconPreview(false) ? "set" : "failed");
    return 0;
  }
  std::fputs("usage: ConsentProbe check|ask|script FOLDER\n", stderr);
  return 64;
}
