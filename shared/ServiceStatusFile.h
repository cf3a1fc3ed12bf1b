// What only the running service knows, published for the command line: "status.json" in the
// hidden folder ".zavroPellora" of the user's home, written by the service's owner of the core
// whenever the watched shares or the extensions' connections change, and removed when it ends.
// One JSON object:
//   {"pid": 4242, "version": "1.0.0", "build": "1",
//    "shares": ["/mnt/gateway"], "extensionConnections": 1}
// Written as a whole (a temporary file renamed over the old one), mode 0600, never through a
// symbolic link, so that a reader sees one complete state or the one before.
//
// The file can outlive a service that was killed: a reader believes it only when its pid is
// that of the service copy that holds the lock (ServiceLockFile::runningHolder).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ServiceStatus {
  int32_t pid = 0;
  std::string version;  // CFBundleShortVersionString of the service's bundle
  std::string build;    // CFBundleVersion
  // The gateway shares the service watches, in order.
  std::vector<std::string> shares;
  // Extensions that passed the opening exchange and are still connected.
  int64_t extensionConnections = 0;
  bool operator==(const ServiceStatus&) const = default;
};

class ServiceStatusFile {
 public:
  static constexpr const char* kFileName = "status.json";

  explicit ServiceStatusFile(std::string home) : home_(std::move(home)) {}

  std::string path() const;

  // Makes the hidden folder 0700 when needed; false when the file could not be written (the
  // old one then stays).
  [[nodiscard]] bool write(const ServiceStatus& status) const;
  // Nothing when there is no regular file or it does not hold a status.
  std::optional<ServiceStatus> read() const;
  // Removes the file when it names process pid; a successor's file stays.
  void removeIfWrittenBy(pid_t pid) const;

  static std::string encode(const ServiceStatus& status);
  // Nothing unless the text is an object with a pid above 0; the other members are optional
  // and members of another type are ignored.
  static std::optional<ServiceStatus> decode(std::string_view text);

 private:
  std::string home_;
};
