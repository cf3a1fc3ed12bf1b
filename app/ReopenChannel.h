// Opening the application while it runs reopens the running copy instead of starting a second
// one: the first ordinary start listens on a socket in the user's hidden folder, and a later
// start hands it a reopen request and ends. The socket is private to the user (the folder is
// 0700); a socket file left by a copy that died is replaced.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace platform::dispatch {
class FdSource;
}

class ReopenChannel {
 public:
  // home + "/.zavroPellora/app.socket"
  static std::string socketPath(const std::string& home);

  // Listens at path; onReopen runs on the main queue for each request. Null when another
  // copy listens there already or the socket cannot be made.
  static std::unique_ptr<ReopenChannel> listen(const std::string& path, std::function<void()> onReopen);
  // Asks the copy listening at path to reopen; true when it answered within the time-out.
  static bool sendReopen(const std::string& path, int timeoutMilliseconds = 2000);

  ~ReopenChannel();
  ReopenChannel(const ReopenChannel&) = delete;
  ReopenChannel& operator=(const ReopenChannel&) = delete;

 private:
  ReopenChannel(int fd, std::string path, std::function<void()> onReopen);
  void accept();

  int fd_;
  std::string path_;
  std::function<void()> onReopen_;
  std::unique_ptr<platform::dispatch::FdSource> source_;
};
