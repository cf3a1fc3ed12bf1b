#include "updater/SPUUpdater.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "TempDir.h"
#include "TestProcess.h"
#include "Wait.h"
#include "bundle/Bundle.h"
#include "bundle/PropertyList.h"
#include "dispatch/Queue.h"
#include "dispatch/RunLoop.h"
#include "dispatch/Waker.h"
#include "log/Capture.h"
#include "updater/Appcast.h"
#include "updater/SPUStandardUpdaterController.h"

namespace platform::updater {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using pellora::testing::TempDir;

const std::string kBundleName = "Zavro Pellora.app";
const std::string kIdentifier = "com.zavro.Pellora";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Runs the release tool; returns its exit status and output.
int signer(const std::vector<std::string>& args, std::string* output = nullptr) {
  std::vector<std::string> argv{PELLORA_UPDATE_SIGNER_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out;
  const int status = pellora::testing::runToEnd(argv, {}, &out);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  if (output) *output = out;
  return status;
}

// A bundle whose program prints its version, as the installed application would run.
std::string makeBundle(const std::string& folder, const std::string& version,
                       const std::string& publicKey, const std::string& feedURL = "") {
  const std::string root = folder + "/" + kBundleName;
  fs::create_directories(root + "/Contents/MacOS");
  fs::create_directories(root + "/Contents/Resources");
  std::map<std::string, std::string> info{{"CFBundleIdentifier", kIdentifier},
                                          {"CFBundleExecutable", "Zavro Pellora"},
                                          {"CFBundleVersion", version},
                                          {"CFBundleShortVersionString", "1.0." + version}};
  if (!publicKey.empty()) info[kPublicEDKeyKey] = publicKey;
  if (!feedURL.empty()) info[kFeedURLKey] = feedURL;
  writeFile(root + "/Contents/Info.plist", bundle::writePropertyList(info));
  const std::string exe = root + "/Contents/MacOS/Zavro Pellora";
  writeFile(exe, "#!/bin/sh\necho \"Zavro Pellora " + version + "\"\n");
  fs::permissions(exe, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  // Some weight, so that a swap half done would show.
  writeFile(root + "/Contents/Resources/data", std::string(64 * 1024, static_cast<char>('a' + version.size())));
  return root;
}

// What the bundle's program says when it runs; empty when it does not run.
std::string runBundle(const std::string& root) {
  std::string out;
  if (pellora::testing::runToEnd({root + "/Contents/MacOS/Zavro Pellora"}, {}, &out) != 0) return "";
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Serves the files of a folder over HTTP/1.0 on 127.0.0.1, one request at a time. A mute server
// accepts connections and never answers.
class LocalHttpServer {
 public:
  LocalHttpServer(std::string root, bool mute = false) : root_(std::move(root)), mute_(mute) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ADD_FAILURE() << "no local server";
    }
    port_ = ntohs(addr.sin_port);
    waker_ = dispatch::Waker::create();
    thread_ = std::thread([this] { serve(); });
  }
  ~LocalHttpServer() {
    waker_->wake();
    thread_.join();
    for (int fd : held_) ::close(fd);
    ::close(fd_);
  }
  std::string url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
  }

 private:
  void serve() {
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {waker_->fd(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      if (mute_) {
        held_.push_back(client);
        continue;
      }
      answer(client);
      ::close(client);
    }
  }
  void answer(int client) {
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
      pollfd p{client, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) return;
      const ssize_t n = ::read(client, buffer, sizeof buffer);
      if (n <= 0) return;
      request.append(buffer, static_cast<size_t>(n));
    }
    std::istringstream line(request);
    std::string method, target;
    line >> method >> target;
    const std::string file = root_ + target;
    std::string reply;
    if (target.find("..") != std::string::npos || !fs::is_regular_file(file)) {
      reply = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    } else {
      const std::string body = readFile(file);
      reply = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
              "\r\nConnection: close\r\n\r\n" + body;
    }
    for (size_t sent = 0; sent < reply.size();) {
      const ssize_t n = ::send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  std::string root_;
  bool mute_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::unique_ptr<dispatch::Waker> waker_;
  std::thread thread_;
  std::vector<int> held_;
};

// Records what the updater tells its delegate (all on the main thread).
class RecordingDelegate : public SPUUpdaterDelegate {
 public:
  std::optional<std::string> feedURLString(SPUUpdater&) override {
    ++feedQuestions;
    return feedOverride;
  }
  void didFinishUpdateCycleFor(SPUUpdater&, SPUUpdateCheck, const std::optional<UpdateError>& error) override {
    ends.push_back(error);
  }
  std::optional<std::string> feedOverride;
  int feedQuestions = 0;
  std::vector<std::optional<UpdateError>> ends;
};

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(signer({"generate-keys", dir / "release.key"}, &publicKey), 0);
    ASSERT_EQ(signer({"generate-keys", dir / "other.key"}, &otherKey), 0);
    fs::create_directories(dir / "Applications");
    fs::create_directories(dir / "site");
    fs::create_directories(dir / "tmp");
    installed = makeBundle(dir / "Applications", "1", publicKey, "file://" + (dir / "site/appcast.xml"));
  }

  // Builds version's bundle, packs it with the tool and returns the archive's path.
  std::string release(const std::string& version) {
    const std::string build = dir / ("build-" + version);
    makeBundle(build, version, publicKey, "file://" + (dir / "site/appcast.xml"));
    const std::string archive = dir / ("site/app-" + version + ".tar.gz");
    EXPECT_EQ(signer({"archive", build + "/" + kBundleName, archive}), 0);
    return archive;
  }

  // The feed, written by the tool with the given key: (version, archive) pairs.
  void writeFeed(const std::vector<std::pair<std::string, std::string>>& items,
                 const std::string& key = "release.key", const std::string& base = "") {
    std::vector<std::string> args{"appcast", dir / key, dir / "site/appcast.xml"};
    for (const auto& [version, archive] : items) {
      const std::string name = fs::path(archive).filename().string();
      args.insert(args.end(), {"--item", version, "1.0." + version,
                               base.empty() ? "file://" + archive : base + name, archive});
    }
    ASSERT_EQ(signer(args), 0);
  }

  UpdaterEnvironment environment() {
    UpdaterEnvironment env;
    env.hostBundlePath = installed;
    env.temporaryDirectory = dir / "tmp";
    env.relaunch = [this](const std::string& path) { relaunched.push_back(path); };
    env.limits.connectTimeout = 2s;
    env.limits.feedTimeout = 5s;
    env.limits.stallTimeout = 5s;
    return env;
  }

  // Runs one background check to its end; false when the end does not come.
  bool checkOnce(SPUUpdater& updater) {
    const size_t before = delegate->ends.size();
    updater.checkForUpdatesInBackground();
    return dispatch::RunLoop::main()->runUntil([&] { return delegate->ends.size() > before; }, 60s);
  }

  std::optional<UpdateErrorCode> lastCode() const {
    if (delegate->ends.empty() || !delegate->ends.back()) return std::nullopt;
    return delegate->ends.back()->code;
  }

  TempDir dir;
  std::string publicKey;
  std::string otherKey;
  std::string installed;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::vector<std::string> relaunched;
  log::Capture capture;
};

TEST_F(UpdaterTest, ANewerVersionFromAFileFeedReplacesTheBundleAndRelaunches) {
  writeFeed({{"2", release("2")}});
  std::mutex mutex;
  std::vector<UpdateStage> stages;
  auto env = environment();
  env.stageObserver = [&](UpdateStage stage) {
    std::lock_guard lock(mutex);
    stages.push_back(stage);
  };
  SPUStandardUpdaterController controller(false, delegate, env);
  // Created without starting: a check now ends at once and changes nothing.
  ASSERT_TRUE(checkOnce(controller.updater()));
  EXPECT_EQ(lastCode(), UpdateErrorCode::NotStarted);
  EXPECT_EQ(runBundle(installed), "Zavro Pellora 1");

  controller.startUpdater();
  ASSERT_TRUE(checkOnce(controller.updater()));
  ASSERT_EQ(delegate->ends.size(), 2u);
  EXPECT_FALSE(delegate->ends[1].has_value()) << delegate->ends[1]->description;
  EXPECT_EQ(runBundle(installed), "Zavro Pellora 2");
  EXPECT_EQ(bundle::Bundle(installed).infoString("CFBundleVersion"), "2");
  EXPECT_EQ(relaunched, std::vector<std::string>{installed});
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(stages, (std::vector<UpdateStage>{UpdateStage::Downloaded, UpdateStage::Verified,
                                                UpdateStage::Unpacked, UpdateStage::Replaced}));
  }
  // Nothing is left beside the bundle or in the temporary folder.
  EXPECT_EQ(entries(dir / "Applications"), std::vector<std::string>{kBundleName});
  EXPECT_TRUE(entries(dir / "tmp").empty());
  EXPECT_TRUE(capture.contains("Installed version 1.0.2 (2)"));

  // The installed version is now the feed's newest: the next cycle changes nothing.
  ASSERT_TRUE(checkOnce(controller.updater()));
  EXPECT_EQ(lastCode(), UpdateErrorCode::NoUpdate);
  EXPECT_EQ(relaunched.size(), 1u);
  EXPECT_EQ(delegate->ends.size(), 3u);
}

TEST_F(UpdaterTest, TheDelegatesHttpFeedWinsAndTheNumericallyNewestItemIsInstalled) {
  fs::remove_all(installed);
  installed = makeBundle(dir / "Applications", "1.2.9", publicKey, "file://" + (dir / "missing.xml"));
  LocalHttpServer server(dir / "site");
  writeFeed({{"1.2.10", release("1.2.10")}, {"1.2.8", release("1.2.8")}}, "release.key",
            server.url(""));
  delegate->feedOverride = server.url("appcast.xml");
  SPUUpdater updater(delegate, environment());
  ASSERT_TRUE(updater.startUpdater());
  ASSERT_TRUE(checkOnce(updater));
  EXPECT_EQ(delegate->feedQuestions, 1);
  ASSERT_EQ(delegate->ends.size(), 1u);
  EXPECT_FALSE(delegate->ends[0].has_value()) << delegate->ends[0]->description;
  EXPECT_EQ(runBundle(installed), "Zavro Pellora 1.2.10");

  EXPECT_FALSE(capture.contains("missing.xml"));

  // Without the override the bundle's own feed is used again: the new bundle's.
  delegate->feedOverride.reset();
  ASSERT_TRUE(checkOnce(updater));
  EXPECT_EQ(lastCode(), UpdateErrorCode::NoUpdate);
  EXPECT_TRUE(capture.contains("Checking for updates at file://" + (dir / "site/appcast.xml")));
}

TEST_F(UpdaterTest, ArchivesThatFailACheckAreRejectedAndTheOldBundleStays) {
  const std::string good = release("2");
  SPUUpdater updater(delegate, environment());
  ASSERT_TRUE(updater.startUpdater());

  struct Case {
    std::string name;
    std::function<void()> prepare;
    UpdateErrorCode code;
    std::string logged;
  };
  const std::string pristine = dir / "pristine.tar.gz";
  const std::string garbage = dir / "site/garbage.tar.gz";
  const std::vector<Case> cases = {
      {"one flipped byte",
       [&] {
         writeFeed({{"2", good}});
         std::string bytes = readFile(good);
         fs::copy_file(good, pristine);
         bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x01);
         writeFile(good, bytes);
       },
       UpdateErrorCode::ArchiveRejected, "the signature does not match the archive"},
      {"a length one byte short",
       [&] {
         fs::copy_file(pristine, good, fs::copy_options::overwrite_existing);
         writeFeed({{"2", good}});
         auto feed = parseAppcast(readFile(dir / "site/appcast.xml"));
         feed->items[0].length -= 1;
         writeFile(dir / "site/appcast.xml", writeAppcast(*feed));
       },
       UpdateErrorCode::ArchiveRejected, "longer than its stated length"},
      {"a length one byte long",
       [&] {
         auto feed = parseAppcast(readFile(dir / "site/appcast.xml"));
         feed->items[0].length += 2;
         writeFile(dir / "site/appcast.xml", writeAppcast(*feed));
       },
       UpdateErrorCode::ArchiveRejected, "instead of its stated"},
      {"a signature by another key",
       [&] { writeFeed({{"2", good}}, "other.key"); },
       UpdateErrorCode::ArchiveRejected, "the signature does not match the archive"},
      {"a signed older bundle offered as newer",
       [&] { writeFeed({{"3", good}}); },
       UpdateErrorCode::ArchiveRejected, "has the version \"2\" instead of the feed's \"3\""},
      {"a signed file that is no archive",
       [&] {
         writeFile(garbage, std::string(4096, 'x'));
         writeFeed({{"2", garbage}});
       },
       UpdateErrorCode::InstallFailed, "cannot be unpacked"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    capture.clear();
    c.prepare();
    ASSERT_TRUE(checkOnce(updater));
    EXPECT_EQ(lastCode(), c.code);
    const auto records = capture.records();
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const log::Record& r) {
      return r.level == log::Level::Error && r.message.find(c.logged) != std::string::npos;
    })) << "no error line with: " << c.logged;
    EXPECT_EQ(runBundle(installed), "Zavro Pellora 1");
    EXPECT_EQ(entries(dir / "Applications"), std::vector<std::string>{kBundleName});
    EXPECT_TRUE(entries(dir / "tmp").empty());
  }
  EXPECT_TRUE(relaunched.empty());
  EXPECT_EQ(delegate->ends.size(), cases.size());
}

TEST_F(UpdaterTest, NoNewerVersionChangesNothingAndEndsEachCycleOnce) {
  writeFeed({{"1", release("1")}, {"0.9", release("0.9")}});
  std::atomic<int> steps{0};
  auto env = environment();
  env.stageObserver = [&](UpdateStage) { ++steps; };
  SPUUpdater updater(delegate, env);
  ASSERT_TRUE(updater.startUpdater());
  const auto before = fs::last_write_time(installed + "/Contents/Info.plist");
  ASSERT_TRUE(checkOnce(updater));
  // A second check while none runs gets a cycle of its own; the first cycle's end came once.
  ASSERT_TRUE(checkOnce(updater));
  ASSERT_EQ(delegate->ends.size(), 2u);
  for (const auto& end : delegate->ends) {
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->code, UpdateErrorCode::NoUpdate);
  }
  EXPECT_TRUE(relaunched.empty());
  EXPECT_EQ(steps, 0);  // not even downloaded
  EXPECT_EQ(fs::last_write_time(installed + "/Contents/Info.plist"), before);
  EXPECT_EQ(entries(dir / "Applications"), std::vector<std::string>{kBundleName});

  // A check while a cycle runs is left out rather than ending the running cycle twice.
  updater.checkForUpdatesInBackground();
  EXPECT_TRUE(updater.sessionInProgress());
  updater.checkForUpdatesInBackground();
  ASSERT_TRUE(dispatch::RunLoop::main()->runUntil([&] { return !updater.sessionInProgress(); }, 60s));
  ASSERT_TRUE(checkOnce(updater));
  EXPECT_EQ(delegate->ends.size(), 4u);
}

TEST_F(UpdaterTest, FeedsThatCannotBeUsedEndTheCycle) {
  auto env = environment();
  env.limits.feedTimeout = 300ms;
  SPUUpdater updater(delegate, env);
  ASSERT_TRUE(updater.startUpdater());

  LocalHttpServer mute(dir / "site", true);
  delegate->feedOverride = mute.url("appcast.xml");
  ASSERT_TRUE(checkOnce(updater));
  EXPECT_EQ(lastCode(), UpdateErrorCode::FeedUnavailable);

  writeFile(dir / "site/appcast.xml", "<html><body>Not found</body></html>");
  delegate->feedOverride.reset();
  ASSERT_TRUE(checkOnce(updater));
  EXPECT_EQ(lastCode(), UpdateErrorCode::InvalidFeed);

  // The override is used as given, even when empty.
  delegate->feedOverride = "";
  ASSERT_TRUE(checkOnce(updater));
  EXPECT_EQ(lastCode(), UpdateErrorCode::InvalidFeed);

  // An archive named by a network feed must come from the network.
  LocalHttpServer server(dir / "site");
  writeFeed({{"2", release("2")}});
  delegate->feedOverride = server.url("appcast.xml");
  ASSERT_TRUE(checkOnce(updater));
  EXPECT_EQ(lastCode(), UpdateErrorCode::DownloadFailed);
  EXPECT_EQ(runBundle(installed), "Zavro Pellora 1");
  EXPECT_EQ(delegate->ends.size(), 4u);
}

TEST_F(UpdaterTest, ABundleWithoutAValidKeyCannotStartButItsChecksStillEnd) {
  fs::remove_all(installed);
  installed = makeBundle(dir / "Applications", "1", "bm90IGEga2V5", "file://" + (dir / "site/appcast.xml"));
  writeFeed({{"2", release("2")}});
  SPUUpdater updater(delegate, environment());
  EXPECT_FALSE(updater.startUpdater());
  ASSERT_TRUE(checkOnce(updater));
  EXPECT_EQ(lastCode(), UpdateErrorCode::NotStarted);
  EXPECT_EQ(runBundle(installed), "Zavro Pellora 1");

  SPUUpdater outside(delegate, UpdaterEnvironment{});  // the test program has no bundle
  EXPECT_TRUE(outside.hostBundlePath().empty());
  EXPECT_FALSE(outside.startUpdater());
}

TEST_F(UpdaterTest, AutomaticChecksRunOnTheirInterval) {
  writeFeed({{"1", release("1")}});
  SPUUpdater updater(delegate, environment());
  updater.setUpdateCheckInterval(20ms);
  updater.setAutomaticallyChecksForUpdates(true);
  EXPECT_TRUE(updater.automaticallyChecksForUpdates());
  ASSERT_TRUE(updater.startUpdater());
  ASSERT_TRUE(dispatch::RunLoop::main()->runUntil([&] { return delegate->ends.size() >= 3; }, 30s));
  EXPECT_EQ(lastCode(), UpdateErrorCode::NoUpdate);
  updater.setAutomaticallyChecksForUpdates(false);
}

TEST_F(UpdaterTest, DestroyingTheUpdaterStopsAStalledCycle) {
  LocalHttpServer mute(dir / "site", true);
  delegate->feedOverride = mute.url("appcast.xml");
  auto env = environment();
  env.limits.feedTimeout = 600s;
  {
    SPUUpdater updater(delegate, env);
    ASSERT_TRUE(updater.startUpdater());
    updater.checkForUpdatesInBackground();
    EXPECT_TRUE(updater.sessionInProgress());
  }
  // Whatever the stopped cycle posted comes before this, on the same queue.
  bool drained = false;
  dispatch::mainQueue()->async([&] { drained = true; });
  ASSERT_TRUE(dispatch::RunLoop::main()->runUntil([&] { return drained; }, 10s));
  EXPECT_TRUE(delegate->ends.empty());  // no calls for an updater that is gone
}

// The child half of the interrupted-update test: runs one update and dies at a given stage.
// It makes nothing of its own, since a killed process cleans nothing up.
TEST(UpdaterChild, DISABLED_DiesDuringAnUpdate) {
  const char* bundlePath = std::getenv("UPDATER_CHILD_BUNDLE");
  const char* temporary = std::getenv("UPDATER_CHILD_TMP");
  const char* stageName = std::getenv("UPDATER_CHILD_STAGE");
  const char* marker = std::getenv("UPDATER_CHILD_MARKER");
  ASSERT_TRUE(bundlePath && temporary && stageName && marker);
  const UpdateStage dieAt = std::string(stageName) == "unpacked" ? UpdateStage::Unpacked
                                                                 : UpdateStage::Replaced;
  UpdaterEnvironment env;
  env.hostBundlePath = bundlePath;
  env.temporaryDirectory = temporary;
  env.relaunch = [](const std::string&) {};
  env.stageObserver = [&](UpdateStage stage) {
    if (stage != dieAt) return;
    writeFile(marker, stageName);
    ::raise(SIGKILL);
  };
  auto delegate = std::make_shared<RecordingDelegate>();
  SPUUpdater updater(delegate, env);
  ASSERT_TRUE(updater.startUpdater());
  updater.checkForUpdatesInBackground();
  dispatch::RunLoop::main()->runUntil([&] { return !delegate->ends.empty(); }, 60s);
  FAIL() << "the update ended without reaching " << stageName;
}

TEST_F(UpdaterTest, AnUpdateKilledHalfWayLeavesAWorkingBundle) {
  writeFeed({{"2", release("2")}});
  const auto killedAt = [&](const std::string& stage) {
    const std::string marker = dir / ("died-" + stage);
    std::string output;
    const int status = pellora::testing::runToEnd(
        {"/proc/self/exe", "--gtest_filter=UpdaterChild.DISABLED_DiesDuringAnUpdate",
         "--gtest_also_run_disabled_tests"},
        {{"UPDATER_CHILD_BUNDLE", installed}, {"UPDATER_CHILD_TMP", dir / "tmp"},
         {"UPDATER_CHILD_STAGE", stage}, {"UPDATER_CHILD_MARKER", marker}},
        &output);
    EXPECT_EQ(status, -1) << output;
    return fs::exists(marker);
  };
  // Killed with the new bundle unpacked beside the old one: the old one is untouched.
  ASSERT_TRUE(killedAt("unpacked"));
  EXPECT_EQ(runBundle(installed), "Zavro Pellora 1");
  EXPECT_EQ(entries(dir / "Applications").size(), 2u);  // the unpacked folder is left

  // Killed right after the swap: the new bundle is complete, the old one is left aside.
  ASSERT_TRUE(killedAt("replaced"));
  EXPECT_EQ(runBundle(installed), "Zavro Pellora 2");
  EXPECT_EQ(readFile(installed + "/Contents/Resources/data"), std::string(64 * 1024, 'b'));

  // The next cycle clears what the killed runs left.
  SPUUpdater updater(delegate, environment());
  ASSERT_TRUE(updater.startUpdater());
  ASSERT_TRUE(checkOnce(updater));
  EXPECT_EQ(lastCode(), UpdateErrorCode::NoUpdate);
  EXPECT_EQ(entries(dir / "Applications"), std::vector<std::string>{kBundleName});
}

TEST_F(UpdaterTest, RelaunchStartsTheNewExecutableDetached) {
  const std::string marker = dir / "relaunched";
  // The program notes its session (field 6 of its stat line) and then appears whole.
  writeFile(installed + "/Contents/MacOS/Zavro Pellora",
            "#!/bin/sh\ncut -d' ' -f6 /proc/$$/stat > '" + marker + ".tmp' && mv '" + marker +
                ".tmp' '" + marker + "'\n");
  ASSERT_TRUE(relaunchDetached(installed));
  ASSERT_TRUE(pellora::testing::waitUntil([&] { return fs::exists(marker); }));
  // A session of its own: it outlives the application and its terminal.
  EXPECT_NE(std::stol(readFile(marker)), static_cast<long>(::getsid(0)));

  fs::remove(installed + "/Contents/MacOS/Zavro Pellora");
  EXPECT_FALSE(relaunchDetached(installed));
}

TEST_F(UpdaterTest, TheSigningToolSignsVerifiesAndKeepsExistingKeys) {
  const std::string archive = release("2");
  std::string signature;
  ASSERT_EQ(signer({"sign", dir / "release.key", archive}, &signature), 0);
  std::string derived;
  ASSERT_EQ(signer({"public-key", dir / "release.key"}, &derived), 0);
  EXPECT_EQ(derived, publicKey);
  EXPECT_EQ(signer({"verify", publicKey, signature, archive}), 0);
  EXPECT_EQ(signer({"verify", otherKey, signature, archive}), 1);
  const std::string key = readFile(dir / "release.key");
  EXPECT_NE(signer({"generate-keys", dir / "release.key"}), 0);
  EXPECT_EQ(readFile(dir / "release.key"), key);
  EXPECT_EQ(fs::status(dir / "release.key").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
}  // namespace platform::updater
