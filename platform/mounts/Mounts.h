// Mounted file systems, read from the kernel's mount table (/proc/self/mountinfo).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::mounts {

struct Mount {
  std::string mountPoint;
  // The mount source as the kernel shows it ("//server/share", "/dev/sda1", "tmpfs").
  std::string source;
  // The reported type: "smbfs" for every SMB client (cifs, smb3, fuse.smbfs), else fsType.
  std::string type;
  // The raw type, with the FUSE subtype when there is one ("fuse.smbfs").
  std::string fsType;
};

// The type a raw mountinfo type is reported as.
std::string reportedType(std::string_view fsType);

// Parses mountinfo text, one mount per line, in the kernel's order. Malformed lines are
// skipped. Octal escapes (\040 space, \011 tab, \012 newline, \134 backslash) are decoded.
std::vector<Mount> parseMountInfo(std::string_view text);

// The mounts of the calling process's namespace; nullopt when the table cannot be read.
std::optional<std::vector<Mount>> listMounts();
// The same from another file in mountinfo format.
std::optional<std::vector<Mount>> listMounts(const std::string& mountInfoPath);

// True for mounts a user sees as volumes. Left out are pseudo and system file systems (proc,
// sysfs, cgroup, cgroup2, tmpfs, devtmpfs, devpts, mqueue, debugfs, tracefs, securityfs,
// pstore, bpf, configfs, fusectl, autofs, binfmt_misc, hugetlbfs, nsfs, ramfs, efivarfs,
// rpc_pipefs, selinuxfs), container layers (overlay mounted under /var/lib) and anything
// mounted under /proc, /sys, /dev or /run, except removable media under /run/media.
bool isUserVisibleVolume(const Mount& mount);

// The mount points of the user-visible volumes, each once, in mount order. Volume URLs are
// plain paths here. Empty when the mount table cannot be read.
std::vector<std::string> mountedVolumeURLs();
// The same over a given list of mounts.
std::vector<std::string> mountedVolumeURLs(const std::vector<Mount>& mounts);

}  // namespace platform::mounts
