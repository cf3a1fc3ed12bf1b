// The client's end of a scripted application's scripting socket. One request at a time: each
// call sends its request and blocks until the answer comes or its time-out passes. A call that
// fails (no application, no answer in time, an error answered) is logged and returns the code.
// After a time-out the connection is dropped, so that a late answer cannot be taken for the
// next one; the next call connects again. Thread-safe: concurrent calls are served in turn.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "finderscript/Protocol.h"

namespace platform::finderscript {

class Connection {
 public:
  // How long a call waits for its answer unless told otherwise.
  static constexpr std::chrono::milliseconds kDefaultTimeout{5000};

  struct Answer {
    int code = noErr;
    std::string message;  // what went wrong, when code is not noErr
    nlohmann::json value;  // the result, when code is noErr
    bool ok() const { return code == noErr; }
  };

  explicit Connection(std::string socketPath);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::string& socketPath() const { return socketPath_; }
  void setTimeout(std::chrono::milliseconds timeout);
  std::chrono::milliseconds timeout() const;

  Answer get(const nlohmann::json& object, const std::string& property);
  Answer set(const nlohmann::json& object, const std::string& property,
             const nlohmann::json& value);
  // timeout: nothing waits until the answer comes or the application goes away.
  Answer consent(const std::string& target, const std::string& eventClass,
                 const std::string& eventID, bool ask,
                 std::optional<std::chrono::milliseconds> timeout);

 private:
  // Sends the request made for a fresh id and waits for its answer; logs a failure as
  // "what failed: why (code)".
  Answer call(const nlohmann::json& request, const std::string& what,
              std::optional<std::chrono::milliseconds> timeout);
  Answer exchange(const nlohmann::json& request, uint64_t id,
                  std::optional<std::chrono::steady_clock::time_point> deadline);
  bool connect(std::string& why);
  void disconnect();

  const std::string socketPath_;
  mutable std::mutex mutex_;
  std::chrono::milliseconds timeout_ = kDefaultTimeout;
  int fd_ = -1;
  uint64_t nextId_ = 1;
  std::string input_;
};

}  // namespace platform::finderscript
