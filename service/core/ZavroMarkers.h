// The service core's strict readers of the gateway markers: the value must be exactly the five
// bytes "ZAVRO" (no trailing byte tolerated), read into a 256-byte buffer; and the mounts that
// can be gateway shares.
#pragma once

#include <string>

// True when the file at path is a stub; used for every badge the service answers or pushes.
// A path with a NUL byte names no file.
bool verifyIsCachingFile(const std::string& path);
bool verifyIsCachingFile(const char* path);

// True when the folder at path is the root of a gateway share.
bool isZavroShareRoot(const std::string& path);

// True for the type the mount table gives an SMB client's mounts ("smbfs"): the mounts whose
// roots may be gateway shares.
bool isSMBMountType(const std::string& type);
