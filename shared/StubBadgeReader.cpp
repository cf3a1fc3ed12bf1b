#include "StubBadgeReader.h"

#include <cerrno>
#include <cstring>

#include "ExtensionProtocol.h"
#include "xattr/Xattr.h"

const char* networkAccessText(NetworkAccess access) {
  return access == NetworkAccess::Blocked ? pellora::protocol::kAccessBlocked
                                          : pellora::protocol::kAccessOk;
}

StubBadgeRead readStubBadge(const std::string& path) {
  char buffer[6] = {};
  const ssize_t n = platform::xattr::get(path, "is.zavro.stub", buffer, sizeof buffer, 0,
                                         platform::xattr::kShowCompression);
  StubBadgeRead result;
  if (n >= 0) {
    result.access = NetworkAccess::Ok;
    result.isStub = n == 5 && std::memcmp(buffer, "ZAVRO", 5) == 0;
    return result;
  }
  if (errno == platform::xattr::kNoAttr) result.access = NetworkAccess::Ok;
  if (errno == EPERM) result.access = NetworkAccess::Blocked;
  return result;
}
