// The service's lock file and standby marker in the hidden folder of the user's home.
//
// The lock file's exclusive flock says that a service copy runs; its one line, "<pid>,<bundle
// version>\n", names that copy. The holder keeps its descriptor for life, so the lock ends
// exactly with the process; the file itself is never deleted. Other processes probe the lock
// without blocking on a read-only descriptor of their own. The standby marker holds the pid
// of a copy that waits for the lock.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct LockHolder {
  int32_t pid = 0;
  std::string version;
  bool operator==(const LockHolder&) const = default;
};

class ServiceLockFile {
 public:
  ServiceLockFile() = delete;

  // home + "/.zavroPellora", + "/service.lock", + "/service.standby".
  static std::string hiddenFolderPath(const std::string& home);
  static std::string lockFilePath(const std::string& home);
  static std::string standbyMarkerPath(const std::string& home);

  // Creates the hidden folder with the folders above it, and makes it 0700 even when it was
  // there already. Failures are left to the open that follows.
  static void createHiddenFolder(const std::string& home);
  // The holder's descriptor: read-write, created 0600 when missing, close-on-exec. -1 with errno.
  static int openForHolder(const std::string& home);
  // A probe's descriptor: read-only, close-on-exec. -1 with errno.
  static int openForProbe(const std::string& home);

  // "<pid>,<version>\n"; an empty version is written as "0", as a missing one is.
  static std::string holderLine(int32_t pid, const std::string& version);
  // Truncates the file and writes the line at offset 0 with a positioned write.
  static bool writeHolderLine(int fd, int32_t pid, const std::string& version);

  // At most 63 bytes from offset 0 (the file offset stays), up to the first zero byte, as
  // UTF-8 with invalid sequences replaced, trimmed of white space and line ends; exactly two
  // non-empty pieces around ","; the first a decimal 32-bit pid above 0. Nothing otherwise.
  static std::optional<LockHolder> readLockHolder(int fd);
  static std::optional<LockHolder> parseLockHolder(std::string_view bytes);
  // The copy that runs now: the line of a lock file whose lock is held. Nothing when no copy
  // holds the lock or its line cannot be read.
  static std::optional<LockHolder> runningHolder(const std::string& home);

  // The pid without a descriptor: the whole file as UTF-8, its first non-empty piece before
  // ",", untrimmed, as a decimal 32-bit number. Nothing when the file cannot be read as UTF-8.
  static std::optional<int32_t> readHolderPid(const std::string& lockFile);
  static std::optional<int32_t> parseHolderPid(std::string_view text);

  // The decimal pid without a line feed, written atomically (temporary file and rename).
  static bool writeStandbyMarker(const std::string& home, pid_t pid);
  static void removeStandbyMarker(const std::string& home);
  // The pid in the marker, trimmed of blanks and line ends; nothing when the marker is
  // missing, empty, not a number or not a pid above 0.
  static std::optional<int32_t> readStandbyMarker(const std::string& home);
  static std::optional<int32_t> parseStandbyMarker(std::string_view text);
};
