// The file through which the Finder extension finds the service: "port" in the hidden folder
// ".zavroPellora" of the user's home, one ASCII line "<port>,<key>\n". The service writes it at
// every start, once its port is bound; the extension reads it at every connection attempt.
#pragma once

#include <optional>
#include <string>
#include <string_view>

class PortFile {
 public:
  static constexpr const char* kFolderName = ".zavroPellora";
  static constexpr const char* kFileName = "port";

  explicit PortFile(std::string home) : home_(std::move(home)) {}

  std::string folder() const { return home_ + "/" + kFolderName; }
  std::string path() const { return folder() + "/" + kFileName; }

  enum class WriteResult { Written, FolderFailed, RemoveFailed, WriteFailed };
  // Makes the hidden folder with mode 0700, or sets an existing one that belongs to the user to
  // 0700; removes the old file and writes the new one with mode 0600 whatever the umask,
  // never through a symbolic link.
  [[nodiscard]] WriteResult write(int port, const std::string& key) const;
  // Removes the file; true when none is left.
  bool remove() const;

  struct Content {
    int port = 0;
    // What the extension sends back as its opening message: the text between the first and
    // the second comma, with the line feed that ends the line.
    std::string token;
  };
  // The file's content, read as the extension reads it; nothing when there is no regular file
  // or it is not ready (see parse()).
  std::optional<Content> read() const;
  // port: leading blanks skipped, then the digits up to the first non-digit. Nothing without a
  // comma, with an empty token, or with a port outside 1..65535 (the extension would otherwise
  // send its key to a port the service never named).
  static std::optional<Content> parse(std::string_view text);
  // The line the service writes.
  static std::string format(int port, const std::string& key);

 private:
  std::string home_;
};
