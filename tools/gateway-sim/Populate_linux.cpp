#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Populate.h"
#include "StubFiles.h"

namespace pellora::gatewaysim {
namespace {

int makeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  return 0;
}

int writeFile(const std::string& path, const std::string& content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  size_t off = 0;
  int err = 0;
  while (off < content.size()) {
    const ssize_t n = ::write(fd, content.data() + off, content.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      break;
    }
    off += static_cast<size_t>(n);
  }
  if (::close(fd) != 0 && !err) err = errno;
  return err;
}

std::string numbered(const char* prefix, int width, int n, const char* suffix) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s%0*d%s", prefix, width, n, suffix);
  return buf;
}

}  // namespace

std::string populatedContent(const std::string& rel, size_t size) {
  const std::string unit = rel + "\n";
  std::string content;
  content.reserve(size);
  while (content.size() < size)
    content.append(unit, 0, std::min(unit.size(), size - content.size()));
  return content;
}

int populate(const PopulateOptions& options, std::string& error) {
  const auto failed = [&](int err, const std::string& what) {
    error = what + ": " + std::strerror(err);
    return err;
  };
  for (int f = 0; f < options.folders; ++f) {
    const std::string folder = numbered("folder-", 4, f, "");
    for (const auto& root : {options.backing, options.cloud}) {
      if (int err = makeFolder(root + "/" + folder)) return failed(err, root + "/" + folder);
    }
    for (int s = 0; s < options.stubs; ++s) {
      const std::string rel = folder + "/" + numbered("stub-", 5, s, ".dat");
      const std::string backing = options.backing + "/" + rel;
      if (int err = writeFile(backing, "")) return failed(err, backing);
      if (int err = markStub(backing)) return failed(err, backing);
      const std::string cloud = options.cloud + "/" + rel;
      if (int err = writeFile(cloud, populatedContent(rel, options.size))) {
        return failed(err, cloud);
      }
    }
    for (int o = 0; o < options.online; ++o) {
      const std::string rel = folder + "/" + numbered("online-", 5, o, ".dat");
      const std::string content = populatedContent(rel, options.size);
      for (const auto& root : {options.backing, options.cloud}) {
        if (int err = writeFile(root + "/" + rel, content)) return failed(err, root + "/" + rel);
      }
      if (int err = unmarkStub(options.backing + "/" + rel)) {
        return failed(err, options.backing + "/" + rel);
      }
    }
  }
  return 0;
}

}  // namespace pellora::gatewaysim
