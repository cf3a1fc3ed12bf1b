#include "finderscript/Consent.h"

#include "finderscript/Connection.h"
#include "finderscript/Protocol.h"

namespace platform::finderscript {

std::optional<AEAddressDesc> targetForBundleIdentifier(const std::string& bundleIdentifier) {
  if (bundleIdentifier.empty()) return std::nullopt;
  return AEAddressDesc{bundleIdentifier};
}

int determinePermissionToAutomateTarget(const AEAddressDesc& target, const std::string& eventClass,
                                        const std::string& eventID, bool askUserIfNeeded,
                                        const ConsentOptions& options) {
  if (target.bundleIdentifier != kFinderBundleIdentifier) return procNotFound;
  Connection connection(finderScriptingSocket());
  return determinePermissionToAutomateTarget(connection, target, eventClass, eventID,
                                             askUserIfNeeded, options);
}

int determinePermissionToAutomateTarget(Connection& connection, const AEAddressDesc& target,
                                        const std::string& eventClass, const std::string& eventID,
                                        bool askUserIfNeeded, const ConsentOptions& options) {
  std::optional<std::chrono::milliseconds> timeout;
  if (!askUserIfNeeded) timeout = options.timeout;
  const auto answer =
      connection.consent(target.bundleIdentifier, eventClass, eventID, askUserIfNeeded, timeout);
  if (!answer.ok()) return answer.code;
  if (!answer.value.is_number_integer()) return errAEEventFailed;
  return answer.value.get<int>();
}

}  // namespace platform::finderscript
