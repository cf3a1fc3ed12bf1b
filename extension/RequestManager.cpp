#include "RequestManager.h"

#include <sys/stat.h>

#include "PortFile.h"
#include "dispatch/Queue.h"
#include "findersync/FIFinderSyncController.h"
#include "log/Log.h"
#include "paths/Paths.h"
#include "text/Unicode.h"

using nlohmann::json;
namespace dispatch = platform::dispatch;
namespace protocol = pellora::protocol;

namespace {

class ControllerTarget : public FinderSyncTarget {
 public:
  platform::findersync::FIFinderSyncController& controller =
      platform::findersync::FIFinderSyncController::defaultController();
  void setBadgeImage(const std::string& path, const std::string& label,
                     const std::string& identifier) override {
    controller.setBadgeImage(path, label, identifier);
  }
  void setBadgeIdentifier(const std::string& identifier, const std::string& url) override {
    controller.setBadgeIdentifier(identifier, url);
  }
  std::set<std::string> directoryURLs() override { return controller.directoryURLs(); }
  void setDirectoryURLs(const std::set<std::string>& urls) override {
    controller.setDirectoryURLs(urls);
  }
};

// The "%@. %@" convention of the extension's general diagnostics.
void logZavro(const std::string& message) {
  platform::log::classicf("%s. %s", "ZAVRO_LOG", message.c_str());
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Something is there, even a link to nothing.
bool entryExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

double seconds(std::chrono::milliseconds duration) {
  return std::chrono::duration<double>(duration).count();
}

}  // namespace

std::shared_ptr<RequestManager> RequestManager::sharedInstance() {
  static std::mutex lock;
  static std::shared_ptr<RequestManager> instance;
  std::lock_guard guard(lock);
  if (!instance) {
    static ControllerTarget target;
    instance = create(target);
  }
  return instance;
}

std::shared_ptr<RequestManager> RequestManager::create(FinderSyncTarget& finder,
                                                       RequestManagerSettings settings) {
  auto manager = std::shared_ptr<RequestManager>(new RequestManager(finder, std::move(settings)));
  manager->socket_ = GCDAsyncSocket::create(manager, dispatch::mainQueue());
  return manager;
}

RequestManager::RequestManager(FinderSyncTarget& finder, RequestManagerSettings settings)
    : finder_(finder), settings_(std::move(settings)) {}

bool RequestManager::isConnected() {
  // The state belongs to the main queue, where a sync could never return.
  if (dispatch::mainQueue()->isCurrent()) return connected_;
  bool connected = false;
  dispatch::mainQueue()->sync([&] { connected = connected_; });
  return connected;
}

void RequestManager::connect() {
  dispatch::mainQueue()->async(dispatch::weakly(shared_from_this(), [](RequestManager& m) {
    m.connectOnMain();
  }));
}

void RequestManager::scheduleConnect() {
  dispatch::mainQueue()->asyncAfter(
      settings_.retry,
      dispatch::weakly(shared_from_this(), [](RequestManager& m) { m.connectOnMain(); }));
}

void RequestManager::connectOnMain() {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  if (connected_) {
    platform::log::classicf("Already connected on port %d", port_);
    return;
  }
  // The home of the user database entry, never the environment's (a sandbox's container).
  // A missing file, or one without a port and a key, is not ready yet.
  const auto content = PortFile(platform::paths::userDatabaseHome()).read();
  if (!content) {
    scheduleConnect();
    return;
  }
  port_ = content->port;
  SocketError error;
  if (!socket_->connectToHost("localhost", static_cast<uint16_t>(port_), &error)) return;
  {
    std::lock_guard guard(monitor_);
    attempting_ = true;
  }
  socket_->writeData(content->token, 0);
}

void RequestManager::socketDidConnectToHost(const std::shared_ptr<GCDAsyncSocket>& socket,
                                            const std::string& host, uint16_t port) {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  platform::log::classicf("Successfully connected to host %s on port %hu", host.c_str(), port);
  connected_ = true;
  {
    // The new service instance hears the network-access state with the next badge request.
    std::lock_guard guard(monitor_);
    lastNetworkAccess_.reset();
  }
  // The first frame answers the key; without it in time the connection is dropped and made
  // again.
  socket->readDataToData(GCDAsyncSocket::CRLFData(), seconds(settings_.keyExchangeTimeout), 0,
                         settings_.maxFrameBytes);
}

void RequestManager::socketDidReadData(const std::shared_ptr<GCDAsyncSocket>& socket,
                                       const std::string& data, long /*tag*/) {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  {
    // Queued under the lock, so that no request sent meanwhile overtakes the waiting ones.
    std::lock_guard guard(monitor_);
    if (!opened_) {
      opened_ = true;
      for (const auto& frame : pending_) socket->writeData(frame, 0);
      pending_.clear();
    }
  }
  executeCommand(data.size() >= 2 ? data.substr(0, data.size() - 2) : std::string());
  socket->readDataToData(GCDAsyncSocket::CRLFData(), -1, 0, settings_.maxFrameBytes);
}

void RequestManager::socketDidDisconnect(const std::shared_ptr<GCDAsyncSocket>& /*socket*/,
                                         const std::optional<SocketError>& error) {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  if (connected_) {
    platform::log::classicf("Disconnected from port %d with error: %s", port_,
                            error ? (error->domain + " " + std::to_string(error->code) + " " +
                                     error->description).c_str()
                                  : "(null)");
    if (removeBadgesOnClose_) removeAllBadges();
  }
  connected_ = false;
  {
    std::lock_guard guard(monitor_);
    attempting_ = opened_ = false;
    pending_.clear();
  }
  scheduleConnect();
}

std::optional<std::string> RequestManager::dataFromJSON(const nlohmann::json& value) {
  return protocol::encodeEscapingSlashes(value);
}

void RequestManager::sendJson(const nlohmann::json& value) {
  const auto data = dataFromJSON(value);
  if (!data) {
    logZavro("Error creating JSON: " + value.dump(-1, ' ', false, json::error_handler_t::replace));
    return;
  }
  const std::string frame = appendingEOFToData(*data);
  std::lock_guard guard(monitor_);
  if (!attempting_) return;  // no connection: dropped, as the socket would drop it
  if (!opened_) {
    pending_.push_back(frame);
    return;
  }
  socket_->writeData(frame, 0);
}

void RequestManager::sendDirectoryOpenedAtURL(const std::string& url) {
  sendJson(protocol::openedDir(url));
}

void RequestManager::sendBringFilesOnlineWithURLs(const std::vector<std::string>& urls) {
  sendJson(protocol::bringFileOnline(urls));
}

void RequestManager::requestFileBadgeId(const std::string& url) {
  const StubBadgeRead read = readStubBadge(url);
  bool report = false;
  {
    std::lock_guard guard(monitor_);
    if (read.access && read.access != lastNetworkAccess_) {
      lastNetworkAccess_ = read.access;
      report = true;
    }
  }
  if (report) sendJson(protocol::networkAccess(networkAccessText(*read.access)));
  // This never clears a badge: only the service's pushes do.
  if (read.isStub) finder_.setBadgeIdentifier(protocol::kFileIconCache, url);
}

std::set<BadgeRecord> RequestManager::registeredBadges() {
  std::lock_guard guard(monitor_);
  return registeredBadges_;
}

std::set<std::string> RequestManager::registeredUrls() {
  std::lock_guard guard(monitor_);
  return registeredUrls_;
}

void RequestManager::executeCommand(const std::string& frame) {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  if (frame.empty()) {
    platform::log::classic("Cannot parse empty data");
    return;
  }
  const auto decoded = protocol::decode(frame);
  if (!decoded) logZavro("Error parsing json: " + frame);
  const std::string* command = decoded ? protocol::text(*decoded, protocol::kCommand) : nullptr;
  if (!command) {
    platform::log::classicf("Failed to parse data: %s", frame.c_str());
    return;
  }
  const json* found = protocol::member(*decoded, protocol::kValue);
  const json& value = found ? *found : json();
  if (*command == protocol::kRefreshIcons) {
    refreshBadges();
  } else if (*command == protocol::kRegisterIconWithId) {
    registerBadgeImage(value);
  } else if (*command == protocol::kSetFileIcons) {
    setFileBadges(value);
  } else if (*command == protocol::kSetFilterPaths) {
    setFilterFolders(value);
  } else {
    platform::log::classicf("Failed to find command: %s", command->c_str());
  }
}

void RequestManager::refreshBadges() {
  for (const auto& url : finder_.directoryURLs()) requestFileBadgeId(url);
}

void RequestManager::registerBadgeImage(const nlohmann::json& value) {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  const std::string* path = protocol::text(value, protocol::kPath);
  const std::string* label = protocol::text(value, protocol::kLabel);
  const std::string* iconId = protocol::text(value, protocol::kIconId);
  if (!path || !label || !iconId) {
    logZavro("Rejected badge registration of the wrong shape: " + protocol::encode(value));
    return;
  }
  if (!fileExists(*path)) {
    platform::log::classicf("Failed to register file badge. File not found: %s", path->c_str());
    return;
  }
  {
    std::lock_guard guard(monitor_);
    registeredBadges_.insert(BadgeRecord{*path, *label, *iconId});
  }
  finder_.setBadgeImage(*path, *label, *iconId);
}

void RequestManager::setFileBadges(const nlohmann::json& value) {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  if (!value.is_object()) {
    logZavro("Rejected badges of the wrong shape: " + protocol::encode(value));
    return;
  }
  for (const auto& [path, badge] : value.items()) {
    if (!badge.is_string()) continue;
    // The service names the files as they are stored, which on Linux is usually the composed
    // form: the badge goes on that path. Only where nothing exists there does the decomposed
    // form, as the platform's URLs spell names, stand in.
    const std::string url = entryExists(path) ? path : platform::text::decomposed(path);
    finder_.setBadgeIdentifier(badge.get<std::string>(), url);
  }
}

void RequestManager::setFilterFolders(const nlohmann::json& value) {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  if (!value.is_array()) {
    logZavro("Rejected filter paths of the wrong shape: " + protocol::encode(value));
    return;
  }
  std::set<std::string> urls;
  for (const auto& p : value) {
    if (p.is_string() && !p.get<std::string>().empty()) urls.insert(p.get<std::string>());
  }
  {
    std::lock_guard guard(monitor_);
    registeredUrls_ = urls;
  }
  // Clearing first and setting later makes Finder drop and ask again for every badge.
  finder_.setDirectoryURLs({});
  dispatch::mainQueue()->async(dispatch::weakly(shared_from_this(), [urls](RequestManager& m) {
    m.finder_.setDirectoryURLs(urls);
    m.refreshBadges();
  }));
}

void RequestManager::removeAllBadges() {
  PELLORA_DCHECK_SEQUENCE(mainSequence_);
  for (const auto& url : finder_.directoryURLs()) finder_.setBadgeIdentifier("", url);
}
