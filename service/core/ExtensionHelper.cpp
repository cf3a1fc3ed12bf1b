#include "core/ExtensionHelper.h"

#include <mutex>

#include "core/JsonText.h"

namespace {

std::mutex& installLock() {
  static std::mutex lock;
  return lock;
}

std::shared_ptr<RequestDispatcher>& installed() {
  static std::shared_ptr<RequestDispatcher> dispatcher;
  return dispatcher;
}

}  // namespace

void ExtensionHelper::setDispatcher(std::shared_ptr<RequestDispatcher> dispatcher) {
  std::shared_ptr<RequestDispatcher> previous;  // let go outside the lock
  std::lock_guard guard(installLock());
  previous = std::exchange(installed(), std::move(dispatcher));
}

std::shared_ptr<RequestDispatcher> ExtensionHelper::dispatcher() {
  static const auto badgesOnly = RequestDispatcher::create(nullptr);
  std::lock_guard guard(installLock());
  return installed() ? installed() : badgesOnly;
}

std::string commandQueryText(const std::string& request) {
  return ExtensionHelper::dispatcher()->commandQuery(request);
}

extern "C" const char* commandQuery(const char* request) {
  return returnedText(commandQueryText(request ? request : ""));
}
