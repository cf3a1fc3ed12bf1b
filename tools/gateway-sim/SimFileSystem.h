// The gateway share as a FUSE file system (high-level API, multi-threaded loop): the backing
// folder (the gateway's cache) served read-write, with
//  - stubs (stub marker exactly "ZAVRO") reported at the size of their cloud file;
//  - the download attribute "user.zavro.download.file": a size query answers 1 and does
//    nothing else; a read of the value waits the latency, then answers one ASCII digit: "0"
//    after bringing a stub online, "7" for a file that is not a stub (folders included), the
//    configured digit for a failing file (which stays a stub); it fails with EIO when the cloud
//    has no content for the stub, and with an error when the file cannot be looked at (only a
//    missing marker means "not a stub");
//  - a content read of a stub (opened with direct I/O so no page lock is held) brings it
//    online first, the same way; opening a stub for writing brings it online first too,
//    unless the open truncates it, which just makes it a local file;
//  - unlink and rename mirror onto the cloud folder, so a stub keeps its content;
//  - faults and counters for every call from outside the simulator (see Faults, Counters).
// Every other attribute is stored in the backing files and served as written.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "Counters.h"
#include "Faults.h"
#include "Hydrator.h"
#include "StopSignal.h"

struct fuse_operations;
struct fuse_file_info;

namespace pellora::gatewaysim {

class SimFileSystem {
 public:
  struct Folders {
    std::string backing;
    std::string cloud;
    std::string mountPoint;
  };

  SimFileSystem(Folders folders, Faults& faults, Counters& counters, Hydrator& hydrator,
                const StopSignal& stop);

  // The operations for fuse_new(); user_data must be this object.
  static const fuse_operations& operations();

  // One call as the file system sees it.
  struct Call {
    std::string rel;
    bool internal;
  };

  // The operations, with FUSE's conventions (0 or a size, or -errno).
  int getattr(const char* path, struct stat* st, fuse_file_info* fi);
  int readlink(const char* path, char* buf, size_t size);
  int mkdir(const char* path, mode_t mode);
  int unlink(const char* path);
  int rmdir(const char* path);
  int symlink(const char* target, const char* path);
  int rename(const char* from, const char* to, unsigned int flags);
  int link(const char* from, const char* to);
  int chmod(const char* path, mode_t mode, fuse_file_info* fi);
  int chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi);
  int truncate(const char* path, off_t size, fuse_file_info* fi);
  int open(const char* path, fuse_file_info* fi);
  int read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info* fi);
  int write(const char* path, const char* buf, size_t size, off_t offset, fuse_file_info* fi);
  int statfs(const char* path, struct statvfs* st);
  int release(const char* path, fuse_file_info* fi);
  int fsync(const char* path, int datasync, fuse_file_info* fi);
  int setxattr(const char* path, const char* name, const char* value, size_t size, int flags);
  int getxattr(const char* path, const char* name, char* value, size_t size);
  int listxattr(const char* path, char* list, size_t size);
  int removexattr(const char* path, const char* name);
  int opendir(const char* path);
  int readdir(const char* path, void* buf, int (*fill)(void*, const char*), off_t offset);
  int create(const char* path, mode_t mode, fuse_file_info* fi);
  int utimens(const char* path, const struct timespec tv[2], fuse_file_info* fi);

 private:
  Call begin(const char* path) const;
  // Slows an outside call down and applies the faults; 0 or the -errno to answer.
  int admit(const Call& call, Access access);
  // Counts an outside call's error.
  int answer(const Call& call, int result);
  template <class Body>
  int run(const char* path, Access access, Body body);

  // Waits the latency and brings rel online; the digit to answer, or -errno.
  int download(const std::string& rel);
  std::string backing(const std::string& rel) const;
  std::string cloud(const std::string& rel) const;

  const Folders folders_;
  Faults& faults_;
  Counters& counters_;
  Hydrator& hydrator_;
  const StopSignal& stop_;
};

}  // namespace pellora::gatewaysim
