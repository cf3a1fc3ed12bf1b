#include "findersync/FIFinderSyncController.h"

#include "findersync/Protocol.h"
#include "log/Log.h"

namespace platform::findersync {
namespace {

const log::Log& controllerLog() {
  static const log::Log log("platform", "findersync");
  return log;
}

// An extension that never connects must not grow without bound.
constexpr size_t kMaxHeld = 100000;

}  // namespace

FIFinderSyncController& FIFinderSyncController::defaultController() {
  // Lives for the process: extension threads may call it until exit.
  static auto* controller = new FIFinderSyncController();
  return *controller;
}

void FIFinderSyncController::setBadgeImage(const std::string& imagePath, const std::string& label,
                                           const std::string& badgeIdentifier) {
  send(message::encode(message::setBadgeImage(imagePath, label, badgeIdentifier)));
}

void FIFinderSyncController::setBadgeIdentifier(const std::string& badgeIdentifier,
                                                const std::string& url) {
  send(message::encode(message::setBadge(badgeIdentifier, url)));
}

std::set<std::string> FIFinderSyncController::directoryURLs() const {
  std::lock_guard lock(mutex_);
  return directoryURLs_;
}

void FIFinderSyncController::setDirectoryURLs(const std::set<std::string>& urls) {
  const std::string line = message::encode(message::setDirectoryURLs(urls));
  std::lock_guard lock(mutex_);
  // Recorded and sent under one lock: the last set is the last Finder hears of.
  directoryURLs_ = urls;
  if (link_ == Link::Attached) {
    sender_(line);
  } else if (link_ == Link::NotYet && held_.size() < kMaxHeld) {
    held_.push_back(line);
  }
}

std::vector<std::string> FIFinderSyncController::selectedItemURLs() const {
  std::lock_guard lock(mutex_);
  return selection_;
}

void FIFinderSyncController::showExtensionManagementInterface() {
  defaultController().send(message::encode(message::showManagement()));
}

void FIFinderSyncController::send(std::string line) {
  std::lock_guard lock(mutex_);
  switch (link_) {
    case Link::Attached:
      sender_(line);
      break;
    case Link::NotYet:
      if (held_.size() < kMaxHeld) {
        held_.push_back(std::move(line));
      } else if (held_.size() == kMaxHeld) {
        controllerLog().error("Finder has not connected; dropping further controller calls");
        held_.emplace_back();  // marks the drop as reported
      }
      break;
    case Link::Detached:
      break;
  }
}

void FIFinderSyncController::attach(Sender sender) {
  std::lock_guard lock(mutex_);
  sender_ = std::move(sender);
  link_ = Link::Attached;
  selection_.clear();
  for (const auto& line : held_) {
    if (!line.empty()) sender_(line);
  }
  held_.clear();
}

void FIFinderSyncController::detach() {
  std::lock_guard lock(mutex_);
  link_ = Link::Detached;
  sender_ = nullptr;
}

void FIFinderSyncController::setSelectedItemURLs(std::vector<std::string> urls) {
  std::lock_guard lock(mutex_);
  selection_ = std::move(urls);
}

}  // namespace platform::findersync
