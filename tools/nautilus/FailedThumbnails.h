// The thumbnail cache's failure records, as GNOME's thumbnail factory keeps them: a small PNG
// under <cache>/thumbnails/fail/gnome-thumbnail-factory/, named by the MD5 of the file's URI,
// carrying the URI and the file's modification time. While a record matches a file's URI and
// modification time, Nautilus (GIO's thumbnail::failed and the factory's can_thumbnail) does not
// try to make a thumbnail of it, so it never reads the file's content for one. Records written
// here are tagged as ours, so that they can be told apart from the factory's own.
#pragma once

#include <ctime>
#include <optional>
#include <string>

namespace pellora::nautilus {

class FailedThumbnails {
 public:
  // cacheDir: the user's cache folder ($XDG_CACHE_HOME).
  explicit FailedThumbnails(std::string cacheDir);

  // The record's file for the file at path.
  std::string recordPath(const std::string& path) const;
  // Writes (or replaces) our record for path with its modification time; false on failure.
  bool write(const std::string& path, time_t mtime) const;
  // Removes the record for path if it is ours; true when one was removed.
  bool removeOurs(const std::string& path) const;
  // What a record says: the URI, the modification time and whether it is ours; nothing when
  // there is none or it cannot be read.
  struct Record {
    std::string uri;
    std::string mtime;
    bool ours = false;
  };
  std::optional<Record> read(const std::string& path) const;

  // The PNG bytes of a record (a 1x1 transparent image with the text chunks).
  static std::string encode(const std::string& uri, time_t mtime);

 private:
  std::string folder_;
};

}  // namespace pellora::nautilus
