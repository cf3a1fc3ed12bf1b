// Consent to control another application with Apple events, as the platform's consent query
// answers it: noErr (allowed), errAEEventWouldRequireUserConsent (the user has not been asked),
// errAEEventNotPermitted (denied), or another code when the target cannot answer (not
// running: procNotFound; no answer in time: errAETimeout). The target decides who asks from
// the asking process itself, never from anything the request says.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace platform::finderscript {

class Connection;

// An Apple-event target: the application with a bundle identifier.
struct AEAddressDesc {
  std::string bundleIdentifier;
};

// The target for bundleIdentifier; nothing for an empty identifier.
std::optional<AEAddressDesc> targetForBundleIdentifier(const std::string& bundleIdentifier);

struct ConsentOptions {
  // How long a query that does not ask the user waits for the target's answer. A query that
  // asks waits until the user has answered or the target has gone.
  std::chrono::milliseconds timeout{5000};
};

// Whether this process may send the target events of eventClass and eventID (typeWildCard:
// any). With askUserIfNeeded an undecided question is put to the user, and the call blocks until
// the user answers. Only Finder (kFinderBundleIdentifier) can be asked here; any other target
// answers procNotFound.
int determinePermissionToAutomateTarget(const AEAddressDesc& target, const std::string& eventClass,
                                        const std::string& eventID, bool askUserIfNeeded,
                                        const ConsentOptions& options = {});
// The same over a given connection to the target's scripting socket (tests).
int determinePermissionToAutomateTarget(Connection& connection, const AEAddressDesc& target,
                                        const std::string& eventClass, const std::string& eventID,
                                        bool askUserIfNeeded, const ConsentOptions& options = {});

}  // namespace platform::finderscript
