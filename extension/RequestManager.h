// The Finder extension's one connection to the service: finds the port, connects with the
// key, reconnects every second while the service is away, sends the extension's requests,
// carries out the service's commands, and decides stub badges from the files themselves.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ExtensionProtocol.h"
#include "GCDAsyncSocket.h"
#include "StubBadgeReader.h"
#include "dispatch/SequenceChecker.h"

// What the request client asks of Finder; the extension's is the Finder Sync controller.
class FinderSyncTarget {
 public:
  virtual ~FinderSyncTarget() = default;
  virtual void setBadgeImage(const std::string& path, const std::string& label,
                             const std::string& identifier) = 0;
  virtual void setBadgeIdentifier(const std::string& identifier, const std::string& url) = 0;
  virtual std::set<std::string> directoryURLs() = 0;
  virtual void setDirectoryURLs(const std::set<std::string>& urls) = 0;
};

struct BadgeRecord {
  std::string path;
  std::string label;
  std::string iconId;
  bool operator<(const BadgeRecord& o) const {
    return std::tie(path, label, iconId) < std::tie(o.path, o.label, o.iconId);
  }
};

struct RequestManagerSettings {
  // Between connection attempts while the service is away.
  std::chrono::milliseconds retry{1000};
  // The service answers the key at once; a connection it leaves unanswered this long is
  // given up and made again, as after a drop.
  std::chrono::milliseconds keyExchangeTimeout{10000};
  // A frame longer than this ends the connection.
  size_t maxFrameBytes = pellora::protocol::kMaxFrameBytes;
};

// The service's commands and the socket's callbacks run on the main queue, where the client
// checks that they do; requests and badge decisions may come from any thread.
class RequestManager : public GCDAsyncSocketDelegate,
                       public std::enable_shared_from_this<RequestManager> {
 public:
  // The process's request client, talking to the Finder Sync controller.
  static std::shared_ptr<RequestManager> sharedInstance();
  // A client of its own (tests): another Finder, other timings.
  static std::shared_ptr<RequestManager> create(FinderSyncTarget& finder,
                                                RequestManagerSettings settings = {});

  // Starts a connection attempt unless connected; any thread.
  void connect();
  void sendDirectoryOpenedAtURL(const std::string& url);
  void sendBringFilesOnlineWithURLs(const std::vector<std::string>& urls);
  // Sets the stub badge when the file is a stub, and reports network access when it changed.
  void requestFileBadgeId(const std::string& url);

  std::set<BadgeRecord> registeredBadges();
  std::set<std::string> registeredUrls();
  bool isConnected();

  // The service's commands; main queue.
  void executeCommand(const std::string& frame);
  void refreshBadges();
  void registerBadgeImage(const nlohmann::json& value);
  void setFileBadges(const nlohmann::json& value);
  void setFilterFolders(const nlohmann::json& value);
  void removeAllBadges();

  // JSON as the platform's encoder writes it: compact, with every "/" escaped as "\/".
  static std::optional<std::string> dataFromJSON(const nlohmann::json& value);
  static std::string appendingEOFToData(const std::string& data) {
    return pellora::protocol::frame(data);
  }
  void sendJson(const nlohmann::json& value);

  // GCDAsyncSocketDelegate
  void socketDidConnectToHost(const std::shared_ptr<GCDAsyncSocket>& socket,
                              const std::string& host, uint16_t port) override;
  void socketDidReadData(const std::shared_ptr<GCDAsyncSocket>& socket, const std::string& data,
                         long tag) override;
  void socketDidDisconnect(const std::shared_ptr<GCDAsyncSocket>& socket,
                           const std::optional<SocketError>& error) override;

 private:
  RequestManager(FinderSyncTarget& finder, RequestManagerSettings settings);
  void connectOnMain();
  void scheduleConnect();

  FinderSyncTarget& finder_;
  const RequestManagerSettings settings_;
  std::shared_ptr<GCDAsyncSocket> socket_;
  platform::dispatch::SequenceChecker mainSequence_;
  // Main queue only.
  bool connected_ = false;
  int port_ = 0;
  const bool removeBadgesOnClose_ = true;

  // Guards the sets and the network-access state, which Finder's threads reach too.
  std::mutex monitor_;
  std::set<BadgeRecord> registeredBadges_;
  std::set<std::string> registeredUrls_;
  std::optional<NetworkAccess> lastNetworkAccess_;
  // The key must reach the service alone in its first read, so requests wait until the service
  // has answered it (its first frame); while no connection is being made they are dropped.
  bool attempting_ = false;
  bool opened_ = false;
  std::vector<std::string> pending_;
};
