// A stand-in for the service in the enable handler's tests, copied into a test bundle as
// "Zavro Pellora Service". It keeps the service's lock rules: it takes the lock and writes its
// line; when the lock is busy it waits in standby if the login-item service started it
// (XPC_SERVICE_NAME) and ends otherwise. It writes its arguments and XPC_SERVICE_NAME to
// $PELLORA_STANDIN_RECORDS/<pid> first, then serves until it is killed.
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "workspace/Workspace.h"

int main(int argc, char** argv) {
  const char* records = std::getenv("PELLORA_STANDIN_RECORDS");
  const char* homeVar = std::getenv("HOME");
  if (!records || !homeVar) return 64;
  const std::string home = homeVar;
  const char* xpc = std::getenv("XPC_SERVICE_NAME");
  const std::string record = std::string(records) + "/" + std::to_string(::getpid());
  {
    std::ofstream out(record + ".tmp");
    for (int i = 1; i < argc; ++i) out << "arg=" << argv[i] << "\n";
    out << "xpc=" << (xpc ? xpc : "unset") << "\n";
  }
  std::error_code ec;
  std::filesystem::rename(record + ".tmp", record, ec);

  ServiceLockFile::createHiddenFolder(home);
  const int fd = ServiceLockFile::openForHolder(home);
  if (fd < 0) return 1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (!xpc || std::string(xpc) != kServiceBundleIdentifier) return 0;
    ServiceLockFile::writeStandbyMarker(home, ::getpid());
    int rc = 0;
    while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    ServiceLockFile::removeStandbyMarker(home);
    if (rc != 0) return 0;
  }
  const auto bundle = platform::workspace::mainBundleInfo();
  ServiceLockFile::writeHolderLine(fd, ::getpid(), bundle && bundle->version ? *bundle->version : "0");
  for (;;) ::pause();
}
