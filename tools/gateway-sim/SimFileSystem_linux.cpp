#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "SimFileSystem.h"
#include "StubFiles.h"

namespace pellora::gatewaysim {
namespace {

SimFileSystem& self() { return *static_cast<SimFileSystem*>(fuse_get_context()->private_data); }

// rc < 0 becomes -errno.
int result(int rc) { return rc < 0 ? -errno : rc; }
ssize_t result(ssize_t rc) { return rc < 0 ? -errno : rc; }

void* init(fuse_conn_info*, fuse_config* cfg) {
  cfg->use_ino = 1;
  // The gateway's state changes behind the kernel's back (tests add stubs to the cache), so
  // nothing is cached.
  cfg->entry_timeout = 0;
  cfg->attr_timeout = 0;
  cfg->negative_timeout = 0;
  return fuse_get_context()->private_data;
}

struct DirFill {
  void* buf;
  fuse_fill_dir_t filler;
};

fuse_operations makeOperations() {
  fuse_operations ops{};
  ops.init = init;
  ops.getattr = [](const char* p, struct stat* st, fuse_file_info* fi) {
    return self().getattr(p, st, fi);
  };
  ops.readlink = [](const char* p, char* buf, size_t size) {
    return self().readlink(p, buf, size);
  };
  ops.mkdir = [](const char* p, mode_t mode) { return self().mkdir(p, mode); };
  ops.unlink = [](const char* p) { return self().unlink(p); };
  ops.rmdir = [](const char* p) { return self().rmdir(p); };
  ops.symlink = [](const char* target, const char* p) { return self().symlink(target, p); };
  ops.rename = [](const char* from, const char* to, unsigned int flags) {
    return self().rename(from, to, flags);
  };
  ops.link = [](const char* from, const char* to) { return self().link(from, to); };
  ops.chmod = [](const char* p, mode_t mode, fuse_file_info* fi) {
    return self().chmod(p, mode, fi);
  };
  ops.chown = [](const char* p, uid_t uid, gid_t gid, fuse_file_info* fi) {
    return self().chown(p, uid, gid, fi);
  };
  ops.truncate = [](const char* p, off_t size, fuse_file_info* fi) {
    return self().truncate(p, size, fi);
  };
  ops.open = [](const char* p, fuse_file_info* fi) { return self().open(p, fi); };
  ops.read = [](const char* p, char* buf, size_t size, off_t off, fuse_file_info* fi) {
    return self().read(p, buf, size, off, fi);
  };
  ops.write = [](const char* p, const char* buf, size_t size, off_t off, fuse_file_info* fi) {
    return self().write(p, buf, size, off, fi);
  };
  ops.statfs = [](const char* p, struct statvfs* st) { return self().statfs(p, st); };
  // Nothing is buffered, and a close must not fail because of a fault set after the open.
  ops.flush = [](const char*, fuse_file_info*) { return 0; };
  ops.release = [](const char* p, fuse_file_info* fi) { return self().release(p, fi); };
  ops.fsync = [](const char* p, int datasync, fuse_file_info* fi) {
    return self().fsync(p, datasync, fi);
  };
  ops.setxattr = [](const char* p, const char* name, const char* value, size_t size, int flags) {
    return self().setxattr(p, name, value, size, flags);
  };
  ops.getxattr = [](const char* p, const char* name, char* value, size_t size) {
    return self().getxattr(p, name, value, size);
  };
  ops.listxattr = [](const char* p, char* list, size_t size) {
    return self().listxattr(p, list, size);
  };
  ops.removexattr = [](const char* p, const char* name) { return self().removexattr(p, name); };
  ops.opendir = [](const char* p, fuse_file_info*) { return self().opendir(p); };
  ops.readdir = [](const char* p, void* buf, fuse_fill_dir_t filler, off_t off, fuse_file_info*,
                   fuse_readdir_flags) {
    DirFill fill{buf, filler};
    return self().readdir(
        p, &fill,
        [](void* f, const char* name) {
          auto* d = static_cast<DirFill*>(f);
          return d->filler(d->buf, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
        },
        off);
  };
  ops.create = [](const char* p, mode_t mode, fuse_file_info* fi) {
    return self().create(p, mode, fi);
  };
  ops.utimens = [](const char* p, const struct timespec tv[2], fuse_file_info* fi) {
    return self().utimens(p, tv, fi);
  };
  return ops;
}

}  // namespace

const fuse_operations& SimFileSystem::operations() {
  static const fuse_operations ops = makeOperations();
  return ops;
}

SimFileSystem::SimFileSystem(Folders folders, Faults& faults, Counters& counters,
                             Hydrator& hydrator, const StopSignal& stop)
    : folders_(std::move(folders)),
      faults_(faults),
      counters_(counters),
      hydrator_(hydrator),
      stop_(stop) {}

SimFileSystem::Call SimFileSystem::begin(const char* path) const {
  return Call{Faults::normalise(path ? path : ""), hydrator_.isInternal(fuse_get_context()->pid)};
}

int SimFileSystem::admit(const Call& call, Access access) {
  if (call.internal) return 0;
  if (!stop_.sleepFor(faults_.slow())) return answer(call, -EINTR);
  if (const int err = faults_.errorFor(call.rel, access)) return answer(call, -err);
  return 0;
}

int SimFileSystem::answer(const Call& call, int result) {
  if (!call.internal && result < 0) counters_.countError(-result);
  return result;
}

template <class Body>
int SimFileSystem::run(const char* path, Access access, Body body) {
  const Call call = begin(path);
  if (const int refused = admit(call, access)) return refused;
  return answer(call, body(call));
}

std::string SimFileSystem::backing(const std::string& rel) const {
  return rel.empty() ? folders_.backing : folders_.backing + "/" + rel;
}

std::string SimFileSystem::cloud(const std::string& rel) const {
  return rel.empty() ? folders_.cloud : folders_.cloud + "/" + rel;
}

int SimFileSystem::download(const std::string& rel) {
  if (!stop_.sleepFor(faults_.latency())) return -EINTR;
  if (const int digit = faults_.failDigit(rel)) return digit;
  const StubTest test = testStubFile(backing(rel));
  if (test.error) return -test.error;
  if (!test.stub) return 7;
  const int err = hydrator_.hydrate(rel);
  if (err == EINTR) return -EINTR;
  if (err != 0) {
    std::fprintf(stderr, "gateway-sim: download of %s failed: %s\n", rel.c_str(),
                 std::strerror(err));
    return -EIO;
  }
  return 0;
}

int SimFileSystem::getattr(const char* path, struct stat* st, fuse_file_info* fi) {
  return run(path, Access::List, [&](const Call& c) {
    const int rc = fi ? ::fstat(static_cast<int>(fi->fh), st) : ::lstat(backing(c.rel).c_str(), st);
    if (rc != 0) return -errno;
    if (S_ISREG(st->st_mode) &&
        (fi ? isStubFd(static_cast<int>(fi->fh)) : isStubFile(backing(c.rel)))) {
      struct stat cloudSt;
      if (::stat(cloud(c.rel).c_str(), &cloudSt) == 0) st->st_size = cloudSt.st_size;
    }
    return 0;
  });
}

int SimFileSystem::readlink(const char* path, char* buf, size_t size) {
  return run(path, Access::List, [&](const Call& c) {
    if (size == 0) return -EINVAL;
    const ssize_t n = ::readlink(backing(c.rel).c_str(), buf, size - 1);
    if (n < 0) return -errno;
    buf[n] = '\0';
    return 0;
  });
}

int SimFileSystem::mkdir(const char* path, mode_t mode) {
  return run(path, Access::Change,
             [&](const Call& c) { return result(::mkdir(backing(c.rel).c_str(), mode)); });
}

int SimFileSystem::unlink(const char* path) {
  return run(path, Access::Change, [&](const Call& c) {
    const int rc = result(::unlink(backing(c.rel).c_str()));
    if (rc == 0) ::unlink(cloud(c.rel).c_str());
    return rc;
  });
}

int SimFileSystem::rmdir(const char* path) {
  return run(path, Access::Change, [&](const Call& c) {
    const int rc = result(::rmdir(backing(c.rel).c_str()));
    if (rc == 0) ::rmdir(cloud(c.rel).c_str());
    return rc;
  });
}

int SimFileSystem::symlink(const char* target, const char* path) {
  return run(path, Access::Change,
             [&](const Call& c) { return result(::symlink(target, backing(c.rel).c_str())); });
}

int SimFileSystem::rename(const char* from, const char* to, unsigned int flags) {
  return run(from, Access::Change, [&](const Call& c) {
    const Call target = begin(to);
    if (!c.internal) {
      if (const int err = faults_.errorFor(target.rel, Access::Change)) return -err;
    }
    const int rc = result(::renameat2(AT_FDCWD, backing(c.rel).c_str(), AT_FDCWD,
                                      backing(target.rel).c_str(), flags));
    if (rc == 0 && flags == 0) ::rename(cloud(c.rel).c_str(), cloud(target.rel).c_str());
    return rc;
  });
}

int SimFileSystem::link(const char* from, const char* to) {
  return run(from, Access::Change, [&](const Call& c) {
    const Call target = begin(to);
    return result(::link(backing(c.rel).c_str(), backing(target.rel).c_str()));
  });
}

int SimFileSystem::chmod(const char* path, mode_t mode, fuse_file_info* fi) {
  return run(path, Access::Change, [&](const Call& c) {
    return result(fi ? ::fchmod(static_cast<int>(fi->fh), mode)
                     : ::chmod(backing(c.rel).c_str(), mode));
  });
}

int SimFileSystem::chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
  return run(path, Access::Change, [&](const Call& c) {
    return result(fi ? ::fchown(static_cast<int>(fi->fh), uid, gid)
                     : ::lchown(backing(c.rel).c_str(), uid, gid));
  });
}

int SimFileSystem::truncate(const char* path, off_t size, fuse_file_info* fi) {
  return run(path, Access::Content, [&](const Call& c) {
    // Cutting a stub's content from outside makes it a local file. The simulator's own
    // truncation is the first step of bringing it online and keeps the marker.
    if (!c.internal && isStubFile(backing(c.rel))) {
      if (const int err = unmarkStub(backing(c.rel))) return -err;
    }
    return result(fi ? ::ftruncate(static_cast<int>(fi->fh), size)
                     : ::truncate(backing(c.rel).c_str(), size));
  });
}

int SimFileSystem::open(const char* path, fuse_file_info* fi) {
  return run(path, Access::Content, [&](const Call& c) {
    const bool writes = (fi->flags & O_ACCMODE) != O_RDONLY;
    const bool truncates = writes && (fi->flags & O_TRUNC);
    const bool stub = !c.internal && isStubFile(backing(c.rel));
    if (stub && writes && !truncates) {
      const int digit = download(c.rel);
      if (digit < 0) return digit;
      if (digit != 0 && digit != 7) return -EIO;
    }
    const int fd = ::open(backing(c.rel).c_str(), fi->flags & ~(O_CREAT | O_EXCL | O_NOCTTY));
    if (fd < 0) return -errno;
    if (stub && truncates) ::fremovexattr(fd, kStubAttribute);
    // Reads of a stub bring it online first; without the page cache the kernel holds no page
    // lock while the content is written through the mount.
    if (stub && !writes) fi->direct_io = 1;
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
  });
}

int SimFileSystem::read(const char* path, char* buf, size_t size, off_t offset,
                        fuse_file_info* fi) {
  return run(path, Access::Content, [&](const Call& c) {
    const int fd = static_cast<int>(fi->fh);
    if (!c.internal) {
      counters_.countContentRead(c.rel);
      const StubTest test = testStubFd(fd);
      if (test.error) return -test.error;
      if (test.stub) {
        const int digit = download(c.rel);
        if (digit < 0) return digit;
        if (digit != 0 && digit != 7) return -EIO;
      }
    }
    return static_cast<int>(result(::pread(fd, buf, size, offset)));
  });
}

int SimFileSystem::write(const char* path, const char* buf, size_t size, off_t offset,
                         fuse_file_info* fi) {
  return run(path, Access::Content, [&](const Call&) {
    return static_cast<int>(result(::pwrite(static_cast<int>(fi->fh), buf, size, offset)));
  });
}

int SimFileSystem::statfs(const char* path, struct statvfs* st) {
  return run(path, Access::List,
             [&](const Call&) { return result(::statvfs(folders_.backing.c_str(), st)); });
}

int SimFileSystem::release(const char*, fuse_file_info* fi) {
  ::close(static_cast<int>(fi->fh));
  return 0;
}

int SimFileSystem::fsync(const char* path, int datasync, fuse_file_info* fi) {
  return run(path, Access::Content, [&](const Call&) {
    const int fd = static_cast<int>(fi->fh);
    return result(datasync ? ::fdatasync(fd) : ::fsync(fd));
  });
}

int SimFileSystem::setxattr(const char* path, const char* name, const char* value, size_t size,
                            int flags) {
  return run(path, Access::Attribute, [&](const Call& c) {
    return result(::lsetxattr(backing(c.rel).c_str(), name, value, size, flags));
  });
}

int SimFileSystem::getxattr(const char* path, const char* name, char* value, size_t size) {
  return run(path, Access::Attribute, [&](const Call& c) {
    if (std::strcmp(name, kDownloadAttribute) == 0) {
      // Callers ask for the size first and then read: only the read downloads.
      if (size == 0) return 1;
      if (!c.internal) counters_.countDownloadRead(c.rel);
      const int digit = download(c.rel);
      if (digit < 0) return digit;
      value[0] = static_cast<char>('0' + digit);
      return 1;
    }
    return static_cast<int>(result(::lgetxattr(backing(c.rel).c_str(), name, value, size)));
  });
}

int SimFileSystem::listxattr(const char* path, char* list, size_t size) {
  return run(path, Access::Attribute, [&](const Call& c) {
    return static_cast<int>(result(::llistxattr(backing(c.rel).c_str(), list, size)));
  });
}

int SimFileSystem::removexattr(const char* path, const char* name) {
  return run(path, Access::Attribute,
             [&](const Call& c) { return result(::lremovexattr(backing(c.rel).c_str(), name)); });
}

int SimFileSystem::opendir(const char* path) {
  return run(path, Access::Enumerate, [&](const Call&) { return 0; });
}

int SimFileSystem::readdir(const char* path, void* buf, int (*fill)(void*, const char*), off_t) {
  return run(path, Access::Enumerate, [&](const Call& c) {
    DIR* dir = ::opendir(backing(c.rel).c_str());
    if (!dir) return -errno;
    while (const dirent* entry = ::readdir(dir)) {
      if (fill(buf, entry->d_name) != 0) break;
    }
    ::closedir(dir);
    return 0;
  });
}

int SimFileSystem::create(const char* path, mode_t mode, fuse_file_info* fi) {
  return run(path, Access::Content, [&](const Call& c) {
    const int fd = ::open(backing(c.rel).c_str(), fi->flags | O_CREAT, mode);
    if (fd < 0) return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
  });
}

int SimFileSystem::utimens(const char* path, const struct timespec tv[2], fuse_file_info* fi) {
  return run(path, Access::Change, [&](const Call& c) {
    return result(fi ? ::futimens(static_cast<int>(fi->fh), tv)
                     : ::utimensat(AT_FDCWD, backing(c.rel).c_str(), tv, AT_SYMLINK_NOFOLLOW));
  });
}

}  // namespace pellora::gatewaysim
