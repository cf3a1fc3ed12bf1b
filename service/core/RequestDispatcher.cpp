#include "core/RequestDispatcher.h"

#include <deque>

#include "ExtensionProtocol.h"
#include "core/ZavroMarkers.h"
#include "dispatch/Queue.h"

namespace protocol = pellora::protocol;

std::shared_ptr<RequestDispatcher> RequestDispatcher::create(
    std::shared_ptr<ExtensionRequestHandler> handler) {
  return std::shared_ptr<RequestDispatcher>(new RequestDispatcher(std::move(handler)));
}

std::string RequestDispatcher::commandQuery(const std::string& request) {
  // Entries point into request, or into decoded for paths that are spelled otherwise; the
  // answer keeps the last one of each path.
  std::vector<protocol::BadgeEntry> badges;
  std::deque<std::string> decoded;
  std::string scratch;
  std::string terminated;  // the path for the attribute read
  const auto badge = [&](std::string_view path, bool verbatim) {
    terminated.assign(path);
    const bool stub =
        path.find('\0') == std::string_view::npos && verifyIsCachingFile(terminated.c_str());
    badges.push_back({path, stub ? protocol::kFileIconCache : protocol::kFileIconNone, verbatim});
  };
  const std::string_view text(request);
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find(protocol::kFrameEnd, start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view piece = text.substr(start, end - start);
    start = end + protocol::kFrameEnd.size();
    // Nothing to read (every hand-over ends in one); the JSON reader would build an error.
    if (piece.empty()) continue;
    if (const auto path = protocol::badgeRequestPath(piece, scratch)) {
      // A path that points into the request is spelled there as the answer spells it.
      const bool inRequest = path->data() != scratch.data();
      badge(inRequest ? *path : std::string_view(decoded.emplace_back(*path)), inRequest);
      continue;
    }
    // Invalid JSON, invalid UTF-8, non-objects and lines without a command are skipped
    // without a word.
    const auto message = protocol::decode(piece);
    if (!message || !message->is_object()) continue;
    const std::string* command = protocol::text(*message, protocol::kCommand);
    if (!command) continue;
    if (*command == protocol::kGetFileIconId || *command == protocol::kStartObservingFolder) {
      const std::string* path = protocol::text(*message, protocol::kValue);
      if (path) badge(decoded.emplace_back(*path), false);
    } else if (*command == protocol::kBringFileOnline) {
      bringFilesFrom(*message);
    } else if (*command == protocol::kOpenedDir) {
      const std::string* path = protocol::text(*message, protocol::kPath);
      if (path && handler_) handler_->openedDir(*path);
    } else if (*command == protocol::kNetworkAccess) {
      const std::string* state = protocol::text(*message, protocol::kValue);
      if (state && handler_) handler_->networkAccess(*state);
    }
  }
  return protocol::encodeSetFileIcons(badges);
}

void RequestDispatcher::bringFilesFrom(const nlohmann::json& json) {
  auto paths = protocol::texts(json, protocol::kPaths);
  if (!paths) return;
  {
    std::lock_guard guard(requestsLock_);
    ++queuedRequests_;
  }
  platform::dispatch::mainQueue()->async(platform::dispatch::weakly(
      shared_from_this(), [paths = std::move(*paths)](RequestDispatcher& dispatcher) {
        dispatcher.startRequest(paths);
      }));
}

void RequestDispatcher::startRequest(const std::vector<std::string>& paths) {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  if (!fileProcessController_ && handler_) {
    auto controller = handler_->makeFileProcessController();
    std::lock_guard guard(requestsLock_);
    fileProcessController_ = std::move(controller);
  }
  {
    std::lock_guard guard(requestsLock_);
    --queuedRequests_;
  }
  const int64_t request = ++lastRequest_;
  if (!fileProcessController_) return;
  // Held for the call: the completion may let the dispatcher's reference go.
  const auto controller = fileProcessController_;
  controller->bringFilesOnline(paths, [weak = weak_from_this(), request] {
    if (auto dispatcher = weak.lock()) dispatcher->finishRequest(request);
  });
}

void RequestDispatcher::finishRequest(int64_t request) {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  // Only the newest request lets the shared controller go.
  if (lastRequest_ != request) return;
  dropFileProcessController();
}

int RequestDispatcher::queuedRequests() const {
  std::lock_guard guard(requestsLock_);
  return queuedRequests_;
}

bool RequestDispatcher::isIdle() const {
  std::lock_guard guard(requestsLock_);
  return queuedRequests_ <= 0 && !fileProcessController_;
}

int64_t RequestDispatcher::lastRequest() const {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  return lastRequest_;
}

std::shared_ptr<BringFilesOnline> RequestDispatcher::fileProcessController() const {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  return fileProcessController_;
}

void RequestDispatcher::dropFileProcessController() {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  std::shared_ptr<BringFilesOnline> done;  // destroyed after the lock is released
  std::lock_guard guard(requestsLock_);
  done.swap(fileProcessController_);
}
