// Request dispatch: turns request text from a Finder extension into actions and into the one
// answer frame, and starts bring-online requests on the main queue, where one shared
// bring-online controller serves them for as long as requests keep coming.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/ExtensionRequestHandler.h"
#include "dispatch/SequenceChecker.h"

class RequestDispatcher : public std::enable_shared_from_this<RequestDispatcher> {
 public:
  // handler may be null: badges are still answered, every other request is ignored.
  static std::shared_ptr<RequestDispatcher> create(
      std::shared_ptr<ExtensionRequestHandler> handler);
  RequestDispatcher(const RequestDispatcher&) = delete;
  RequestDispatcher& operator=(const RequestDispatcher&) = delete;

  // Any thread, concurrently (each client's own): the answer to one hand-over of request text,
  // {"command":"setFileIcons","value":{...}}, or the empty text when it cannot be encoded.
  std::string commandQuery(const std::string& request);
  // Any thread: queues the request's "paths" for the main queue; ignores a request without a
  // usable "paths".
  void bringFilesFrom(const nlohmann::json& json);

  // Bring-online requests received but not yet started on the main queue.
  int queuedRequests() const;
  // True when no request waits and no shared controller exists (nothing to hand over).
  bool isIdle() const;
  // Main queue only: the number of the newest started request, and the shared controller.
  int64_t lastRequest() const;
  std::shared_ptr<BringFilesOnline> fileProcessController() const;
  // Main queue only: lets the shared controller go (the service is ending).
  void dropFileProcessController();

 private:
  explicit RequestDispatcher(std::shared_ptr<ExtensionRequestHandler> handler)
      : handler_(std::move(handler)) {}
  void startRequest(const std::vector<std::string>& paths);
  void finishRequest(int64_t request);

  const std::shared_ptr<ExtensionRequestHandler> handler_;
  // Guards queuedRequests_, and fileProcessController_ against readers off the main queue.
  mutable std::mutex requestsLock_;
  int queuedRequests_ = 0;
  // Written on the main queue only.
  int64_t lastRequest_ = 0;
  std::shared_ptr<BringFilesOnline> fileProcessController_;
  platform::dispatch::SequenceChecker mainSequence_;
};
