#include "RequestManager.h"

#include <sys/stat.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include "dispatch/Queue.h"
#include "findersync/FIFinderSyncController.h"
#include "log/Log.h"
#include "paths/Paths.h"
#include "text/Unicode.h"

using nlohmann::json;
namespace dispatch = platform::dispatch;

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

// Leading blanks skipped, then digits up to the first non-digit; 0 when there are none.
int leadingInteger(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 0x7fffffff) return 0;
  }
  return static_cast<int>(value);
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
                                                       std::chrono::milliseconds retry) {
  auto manager = std::shared_ptr<RequestManager>(new RequestManager(finder, retry));
  manager->socket_ = GCDAsyncSocket::create(manager, dispatch::mainQueue());
  return manager;
}

RequestManager::RequestManager(FinderSyncTarget& finder, std::chrono::milliseconds retry)
    : finder_(finder), retry_(retry) {}

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
  dispatch::mainQueue()->asyncAfter(retry_, dispatch::weakly(shared_from_this(), [](RequestManager& m) {
    m.connectOnMain();
  }));
}

void RequestManager::connectOnMain() {
  if (connected_) {
    platform::log::classicf("Already connected on port %d", port_);
    return;
  }
  // The home of the user database entry, never the environment's (a sandbox's container).
  const std::string portFile = platform::paths::userDatabaseHome() + "/.zavroPellora/port";
  if (!fileExists(portFile)) {
    scheduleConnect();
    return;
  }
  std::ifstream in(portFile);
  std::stringstream text;
  text << in.rdbuf();
  const std::string content = text.str();
  const size_t comma = content.find(',');
  port_ = leadingInteger(content.substr(0, comma));
  // A file without the key is not ready yet, like one without a port.
  if (port_ <= 0 || comma == std::string::npos) {
    scheduleConnect();
    return;
  }
  const size_t next = content.find(',', comma + 1);
  const std::string token = content.substr(comma + 1, next == std::string::npos ? std::string::npos : next - comma - 1);
  SocketError error;
  if (!socket_->connectToHost("localhost", static_cast<uint16_t>(port_ & 0xFFFF), &error)) return;
  {
    std::lock_guard guard(monitor_);
    attempting_ = true;
  }
  socket_->writeData(token, -1, 0);
}

void RequestManager::socketDidConnectToHost(const std::shared_ptr<GCDAsyncSocket>& socket,
                                            const std::string& host, uint16_t port) {
  platform::log::classicf("Successfully connected to host %s on port %hu", host.c_str(), port);
  connected_ = true;
  {
    // The new service instance hears the network-access state with the next badge request.
    std::lock_guard guard(monitor_);
    lastNetworkAccess_.reset();
  }
  socket->readDataToData(GCDAsyncSocket::CRLFData(), -1, 0);
}

void RequestManager::socketDidReadData(const std::shared_ptr<GCDAsyncSocket>& socket,
                                       const std::string& data, long /*tag*/) {
  {
    // Queued under the lock, so that no request sent meanwhile overtakes the waiting ones.
    std::lock_guard guard(monitor_);
    if (!opened_) {
      opened_ = true;
      for (const auto& frame : pending_) socket->writeData(frame, -1, 0);
      pending_.clear();
    }
  }
  executeCommand(data.size() >= 2 ? data.substr(0, data.size() - 2) : std::string());
  socket->readDataToData(GCDAsyncSocket::CRLFData(), -1, 0);
}

void RequestManager::socketDidDisconnect(const std::shared_ptr<GCDAsyncSocket>& /*socket*/,
                                         const std::optional<SocketError>& error) {
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
  std::string text;
  try {
    text = value.dump();
  } catch (const json::exception&) {
    return std::nullopt;
  }
  // A "/" can only stand inside a string in JSON text, so escaping every one is safe.
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
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
  socket_->writeData(frame, -1, 0);
}

void RequestManager::sendDirectoryOpenedAtURL(const std::string& url) {
  sendJson({{"command", "openedDir"}, {"path", url}});
}

void RequestManager::sendBringFilesOnlineWithURLs(const std::vector<std::string>& urls) {
  sendJson({{"command", "bringFileOnline"}, {"paths", urls}});
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
  if (report) sendJson({{"command", "networkAccess"}, {"value", networkAccessText(*read.access)}});
  // This never clears a badge: only the service's pushes do.
  if (read.isStub) finder_.setBadgeIdentifier("FileIconCache", url);
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
  if (frame.empty()) {
    platform::log::classic("Cannot parse empty data");
    return;
  }
  const json decoded = json::parse(frame, nullptr, false);
  if (decoded.is_discarded()) logZavro("Error parsing json: " + frame);
  if (decoded.is_discarded() || !decoded.is_object() || !decoded.contains("command") ||
      !decoded["command"].is_string()) {
    platform::log::classicf("Failed to parse data: %s", frame.c_str());
    return;
  }
  const std::string command = decoded["command"];
  const json value = decoded.value("value", json());
  if (command == "refreshIcons") {
    refreshBadges();
  } else if (command == "registerIconWithId") {
    registerBadgeImage(value);
  } else if (command == "setFileIcons") {
    setFileBadges(value);
  } else if (command == "setFilterPaths") {
    setFilterFolders(value);
  } else {
    platform::log::classicf("Failed to find command: %s", command.c_str());
  }
}

void RequestManager::refreshBadges() {
  for (const auto& url : finder_.directoryURLs()) requestFileBadgeId(url);
}

void RequestManager::registerBadgeImage(const nlohmann::json& value) {
  auto text = [&](const char* key) -> const std::string* {
    if (!value.is_object() || !value.contains(key) || !value[key].is_string()) return nullptr;
    return value[key].get_ptr<const std::string*>();
  };
  const std::string *path = text("path"), *label = text("label"), *iconId = text("iconId");
  if (!path || !label || !iconId) {
    logZavro("Rejected badge registration of the wrong shape: " + value.dump());
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
  if (!value.is_object()) {
    logZavro("Rejected badges of the wrong shape: " + value.dump());
    return;
  }
  for (const auto& [path, badge] : value.items()) {
    if (!badge.is_string()) continue;
    // Finder's URLs carry decomposed names; the service's paths may be composed.
    finder_.setBadgeIdentifier(badge.get<std::string>(), platform::text::decomposed(path));
  }
}

void RequestManager::setFilterFolders(const nlohmann::json& value) {
  if (!value.is_array()) {
    logZavro("Rejected filter paths of the wrong shape: " + value.dump());
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
  for (const auto& url : finder_.directoryURLs()) finder_.setBadgeIdentifier("", url);
}
