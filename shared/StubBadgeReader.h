// The Finder extension's read of a stub marker: the badge decision and, from the same read,
// whether network volumes are readable.
#pragma once

#include <optional>
#include <string>

enum class NetworkAccess { Ok, Blocked };

// "ok" / "blocked", as the extension reports them to the service.
const char* networkAccessText(NetworkAccess access);

struct StubBadgeRead {
  // The marker is exactly the 5 bytes "ZAVRO".
  bool isStub = false;
  // Ok when the read worked or found no marker, Blocked when refused (EPERM), none otherwise.
  std::optional<NetworkAccess> access;
};

StubBadgeRead readStubBadge(const std::string& path);
