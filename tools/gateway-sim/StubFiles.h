// The gateway's markers as Linux extended attributes, and the stub test the simulator uses.
#pragma once

#include <string>

namespace pellora::gatewaysim {

constexpr const char* kShareAttribute = "user.is.zavro.share";
constexpr const char* kStubAttribute = "user.is.zavro.stub";
constexpr const char* kDownloadAttribute = "user.zavro.download.file";
constexpr const char* kZavroValue = "ZAVRO";

// The simulator's own notion of a stub: a regular file whose stub marker is exactly "ZAVRO".
// Odd values ("ZAVROX", "zavro") are served as written but do not make a stub.
struct StubTest {
  bool stub = false;
  // Set when the file could not be looked at (gone, unmounted, refused): such a file is neither
  // a stub nor online, and a download of it must fail. A missing marker is no error.
  int error = 0;
};
StubTest testStubFile(const std::string& path);
StubTest testStubFd(int fd);

// The test where an error may count as "not a stub" (sizes, listings).
bool isStubFile(const std::string& path);
bool isStubFd(int fd);

// Marks path (an existing file) as a stub, or takes the marker away; 0 or an errno.
int markStub(const std::string& path);
int unmarkStub(const std::string& path);

}  // namespace pellora::gatewaysim
