// What the simulated gateway is told to get wrong, changeable while it serves: refused access,
// outages, slow calls, download latency and files whose download fails. Thread-safe.
//
// Paths are relative to the share root, without leading or trailing slashes; "" is the root.
// A rule on a path covers the path itself and everything below it.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace pellora::gatewaysim {

// The kinds of call a fault may spare.
enum class Access {
  List,       // getattr, readlink, statfs: what a folder listing needs besides the folder
  Enumerate,  // opendir, readdir: reading a folder's entries
  Attribute,  // getxattr, listxattr, setxattr, removexattr
  Content,    // open, create, read, write, truncate, fsync
  Change,     // mkdir, unlink, rmdir, rename, link, symlink, chmod, chown, utimens
};

class Faults {
 public:
  using Millis = std::chrono::milliseconds;

  // "a//b/" -> "a/b"; "/", "." and "" -> "". A path with ".." stays as it is.
  static std::string normalise(std::string_view path);
  // True when rel is ruleRoot or lies below it (both normalised).
  static bool covers(std::string_view ruleRoot, std::string_view rel);

  // The errno an outside call of this kind on rel is refused with, or 0. An outage refuses
  // everything; a denial (EPERM, a missing network-volume permission) refuses everything but
  // listing, so a folder still lists while its markers cannot be read. An outage wins over a
  // denial.
  int errorFor(std::string_view rel, Access access) const;

  void deny(std::string_view rel);
  // EPERM for reading the entries of folders at and below rel (and for everything a denial
  // refuses), while the folders themselves still show: a folder the user may not read.
  void unreadable(std::string_view rel);
  // err is the errno the outage answers (ETIMEDOUT, EHOSTDOWN...).
  void outage(std::string_view rel, int err);
  // digit 1..9 makes downloads of the file fail with it; 0 lifts it. False for other digits.
  bool fail(std::string_view rel, int digit);
  // The digit a download of rel fails with, or 0.
  int failDigit(std::string_view rel) const;

  void setLatency(Millis latency);
  Millis latency() const;
  void setSlow(Millis slow);
  Millis slow() const;

  // Drops denials, outages, failing files and the slow-down; the latency stays.
  void clear();

 private:
  mutable std::mutex mutex_;
  std::set<std::string, std::less<>> denied_;
  std::set<std::string, std::less<>> unreadable_;
  std::map<std::string, int, std::less<>> outages_;
  std::map<std::string, int, std::less<>> failing_;
  Millis latency_{0};
  Millis slow_{0};
};

}  // namespace pellora::gatewaysim
