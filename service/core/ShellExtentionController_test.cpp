#include "core/ShellExtentionController.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>

#include "LineClient.h"
#include "TempDir.h"
#include "Wait.h"
#include "log/Capture.h"
#include "xattr/Xattr.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using pellora::testing::LineClient;
using pellora::testing::TempDir;
using pellora::testing::waitUntil;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home = dir.mkdir("home");
    settings.mountTable = [this] { return std::optional(mounts); };
    settings.watcherTiming = WatcherTiming{20ms, 50ms, 50ms};
    // No background restarts unless a test asks for them.
    settings.monitorInterval = 1h;
    settings.updateInterval = 1h;
    settings.pluginTool = writeTool("+");
    // The extension monitor sees these processes, not whatever else runs on the machine.
    settings.processList = [this] {
      std::lock_guard guard(processesLock);
      return processes;
    };
  }

  // A stand-in plug-in tool: answers queries with state, and records every call together
  // with whether the restart marker existed at that moment.
  std::string writeTool(const std::string& state) {
    const std::string tool = dir / "bin/pluginkit";
    dir.write("bin/state", state);
    dir.write("bin/pluginkit",
              "#!/bin/sh\n"
              "marker=no; [ -e '" + home + "/.zavroPellora/extension.restarting' ] && marker=yes\n"
              "echo \"$* marker=$marker\" >> '" + dir / "bin/calls" + "'\n"
              "[ \"$1\" = -m ] && echo \"$(cat '" + dir / "bin/state" + "')    com.zavro.Pellora.Service.Finder(1.0)\"\n"
              "exit 0\n");
    ::chmod(tool.c_str(), 0755);
    return tool;
  }

  std::string share(const std::string& name, bool marked) {
    const std::string path = dir.mkdir(name);
    if (marked) platform::xattr::set(path, "is.zavro.share", "ZAVRO", 5, 0, 0);
    mounts.push_back({path, "//gateway/" + name, "smbfs", "fuse.smbfs"});
    return path;
  }

  std::unique_ptr<ShellExtentionController> start() {
    auto c = std::make_unique<ShellExtentionController>(home, settings);
    c->startController();
    return c;
  }

  std::unique_ptr<LineClient> connect(ShellExtentionController& c, std::string* filter = nullptr) {
    auto client = std::make_unique<LineClient>(c.port());
    EXPECT_TRUE(client->connected());
    client->send(c.key() + "\n");
    const auto first = client->readFrame();
    EXPECT_TRUE(first.has_value());
    if (filter && first) *filter = *first;
    EXPECT_TRUE(client->readFrame().has_value());
    return client;
  }

  static json value(const std::optional<std::string>& frame) {
    return frame ? json::parse(*frame)["value"] : json();
  }

  TempDir dir;
  std::string home;
  std::vector<platform::mounts::Mount> mounts;
  std::mutex processesLock;
  std::vector<platform::process::ProcessInfo> processes;
  ControllerSettings settings;
};

TEST_F(ControllerTest, PortFileNamesABoundPortAndAFreshKey) {
  auto c = start();
  const std::string folder = home + "/.zavroPellora";
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  const std::string content = readFile(c->portFilePath());
  EXPECT_EQ(content, std::to_string(c->port()) + "," + c->key() + "\n");
  EXPECT_GE(c->port(), 1000);
  EXPECT_LE(c->port(), 65533);
  EXPECT_EQ(c->key().size(), 38u);
  EXPECT_EQ(c->key().front(), '{');
  EXPECT_EQ(c->key()[9], '-');
  // The port in the file is served at once.
  LineClient client(c->port());
  EXPECT_TRUE(client.connected());
  // A second controller (another service start) replaces the file with its own key and port.
  auto second = start();
  EXPECT_NE(second->key(), c->key());
  EXPECT_NE(second->port(), c->port());
  EXPECT_EQ(readFile(second->portFilePath()), std::to_string(second->port()) + "," + second->key() + "\n");
}

TEST_F(ControllerTest, PortFileIsTheUsersAloneWhateverTheUmask) {
  const mode_t saved = ::umask(0);
  const std::string folder = dir.mkdir("home/.zavroPellora");
  ::chmod(folder.c_str(), 0755);  // an older start or the user left it open
  auto c = start();
  ::umask(saved);
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::lstat(c->portFilePath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(ControllerPorts, DrawnPortsNeedNoPrivileges) {
  std::mt19937 random(7);
  int lowest = 65535, highest = 0;
  for (int i = 0; i < 200000; ++i) {
    const int port = ShellExtentionController::drawPort(random);
    lowest = std::min(lowest, port);
    highest = std::max(highest, port);
  }
  EXPECT_EQ(lowest, 1024);
  EXPECT_EQ(highest, 65533);
}

TEST_F(ControllerTest, AnyBindFailureDrawsAnotherPort) {
  const int taken = pellora::testing::freeLoopbackPort();
  platform::log::Log log("com.zavro.Pellora", "Shell");
  struct Silent : ResponseHelperInterface {
    void analyzeInputAndGenerateOutput(const std::string&, std::string&) override {}
    void notifyOnReady() override {}
    bool verifyZavroSocket(const std::string&) override { return false; }
    std::string getFilterPaths() override { return ""; }
    std::string getIcon() override { return ""; }
  } silent;
  TCPServer holder(taken, silent, log);
  ASSERT_EQ(holder.bindListener(), 0);
  const int free = pellora::testing::freeLoopbackPort();
  // A port the system refuses (not "in use"), one in use, then a free one.
  std::vector<int> ports = {70000, taken, free};
  settings.drawPortForTesting = [&] {
    const int next = ports.front();
    if (ports.size() > 1) ports.erase(ports.begin());
    return next;
  };
  auto c = start();
  EXPECT_EQ(c->port(), free);
  EXPECT_EQ(readFile(c->portFilePath()), std::to_string(free) + "," + c->key() + "\n");
  auto client = connect(*c);
}

TEST_F(ControllerTest, NoPortAtAllLeavesNoPortFile) {
  dir.write("home/.zavroPellora/port", "4000,{from an earlier start}\n");
  settings.drawPortForTesting = [] { return 70000; };
  platform::log::Capture capture;
  auto c = start();
  EXPECT_TRUE(capture.contains("Unable to listen on any port"));
  EXPECT_FALSE(std::filesystem::exists(c->portFilePath()));
}

TEST_F(ControllerTest, OnlyMarkedSmbSharesAreWatched) {
  const std::string gateway = share("gateway", true);
  share("plain-smb", false);
  const std::string local = dir.mkdir("local");
  platform::xattr::set(local, "is.zavro.share", "ZAVRO", 5, 0, 0);
  mounts.push_back({local, "/dev/sda1", "ext4", "ext4"});
  auto c = start();
  EXPECT_EQ(c->watchedPaths(), std::vector<std::string>{gateway});
  std::string filter;
  auto client = connect(*c, &filter);
  EXPECT_EQ(json::parse(filter), json({{"command", "setFilterPaths"}, {"value", {gateway}}}));
}

TEST_F(ControllerTest, NoWatchedShareGivesAnEmptyOpeningFrame) {
  auto c = start();
  std::string filter = "unset";
  auto client = connect(*c, &filter);
  EXPECT_EQ(filter, "");
}

TEST_F(ControllerTest, WatchListChangesArePushedInByteOrder) {
  auto c = start();
  auto client = connect(*c);
  const std::string b = share("b-share", true);
  const std::string a = share("A-share", true);  // "A" sorts before "b" in byte order
  _addMonitorPath(c.get(), b.c_str());
  EXPECT_EQ(value(client->readFrame()), json({b}));
  _addMonitorPath(c.get(), a.c_str());
  EXPECT_EQ(value(client->readFrame()), json({a, b}));

  platform::log::Capture capture;
  _addMonitorPath(c.get(), a.c_str());  // already watched: logged, and still re-sent
  EXPECT_TRUE(capture.contains("Path " + a + " found in the map"));
  EXPECT_EQ(value(client->readFrame()), json({a, b}));

  const std::string unmarked = share("unmarked", false);
  _addMonitorPath(c.get(), unmarked.c_str());  // refused without a word
  _delMonitorPath(c.get(), (dir / "never-watched").c_str());  // nothing sent
  _refreshFilterPaths(c.get());
  EXPECT_EQ(value(client->readFrame()), json({a, b}));  // the next frame is the re-send

  _delMonitorPath(c.get(), a.c_str());
  EXPECT_EQ(value(client->readFrame()), json({b}));
  _delMonitorPath(c.get(), b.c_str());
  EXPECT_EQ(value(client->readFrame()), json({""}));
  EXPECT_TRUE(c->watchedPaths().empty());
}

TEST_F(ControllerTest, AFileChangeUnderAShareBecomesASetFileIconsPush) {
  const std::string root = share("gateway", true);
  const std::string stub = dir.write("gateway/docs/report.pdf");
  auto c = start();
  auto client = connect(*c);
  std::optional<std::string> frame;
  ASSERT_TRUE(waitUntil([&] {
    // Set again each turn: the watch may not be in place yet when the first change comes.
    platform::xattr::set(stub, "is.zavro.stub", "ZAVRO", 5, 0, 0);
    frame = client->readFrame(100ms);
    return frame && json::parse(*frame)["value"].contains(stub);
  }));
  EXPECT_EQ(json::parse(*frame), json({{"command", "setFileIcons"}, {"value", {{stub, "FileIconCache"}}}}));
}

TEST_F(ControllerTest, MissingExtensionIsRestartedWithTheMarkerOnlyInBetween) {
  settings.monitorInterval = 100ms;
  settings.restartWait = 200ms;
  auto c = start();
  const std::string calls = dir / "bin/calls";
  ASSERT_TRUE(waitUntil([&] { return readFile(calls).find("-e use") != std::string::npos; }));
  c.reset();
  const std::string log = readFile(calls);
  const size_t ignore = log.find("-e ignore -i com.zavro.Pellora.Service.Finder marker=yes");
  const size_t use = log.find("-e use -i com.zavro.Pellora.Service.Finder marker=yes");
  ASSERT_NE(ignore, std::string::npos) << log;
  ASSERT_NE(use, std::string::npos) << log;
  EXPECT_LT(ignore, use);
  EXPECT_NE(log.find("-m -i com.zavro.Pellora.Service.Finder marker=no"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(home + "/.zavroPellora/extension.restarting"));
}

TEST_F(ControllerTest, RunningExtensionIsLeftAloneAndItsRestartMarkerGoes) {
  {
    std::lock_guard guard(processesLock);
    processes.push_back({4242, "PelloraFinder", ::getuid()});
  }
  std::filesystem::create_directories(home + "/.zavroPellora");
  std::ofstream(home + "/.zavroPellora/extension.restarting");
  settings.monitorInterval = 50ms;
  auto c = start();
  EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(c->restartMarkerPath()); }));
  EXPECT_EQ(c->getProcessId("PelloraFinder", false, false), 4242);
  EXPECT_EQ(c->getProcessId("PelloraFinder", false, true), 4242);
  c.reset();
  EXPECT_EQ(readFile(dir / "bin/calls"), "");  // never asked, never restarted
}

TEST_F(ControllerTest, ExtensionSwitchedOffByTheUserIsLeftAlone) {
  settings.monitorInterval = 50ms;
  settings.pluginTool = writeTool("-");
  auto c = start();
  const std::string calls = dir / "bin/calls";
  // Several passes of the monitor, each only asking.
  ASSERT_TRUE(waitUntil([&] {
    const std::string log = readFile(calls);
    size_t n = 0;
    for (size_t at = log.find("-m -i"); at != std::string::npos; at = log.find("-m -i", at + 1)) ++n;
    return n >= 3;
  }));
  c.reset();
  EXPECT_EQ(readFile(calls).find("-e "), std::string::npos) << readFile(calls);
}

TEST_F(ControllerTest, ToolThatListsNothingCountsAsEnabled) {
  auto c = std::make_unique<ShellExtentionController>(home, settings);
  dir.write("bin/pluginkit", "#!/bin/sh\nexit 0\n");
  EXPECT_FALSE(c->isExtensionDisabled());
  settings.pluginTool = writeTool("   \t-");
  auto d = std::make_unique<ShellExtentionController>(home, settings);
  EXPECT_TRUE(d->isExtensionDisabled());
  std::filesystem::create_directories(home + "/.zavroPellora");
  std::ofstream(d->restartMarkerPath());  // while restarting, never "disabled"
  EXPECT_FALSE(d->isExtensionDisabled());
}

TEST_F(ControllerTest, VersionCheckRunsTheApplicationFromItsFolder) {
  const std::string apps = dir.mkdir("Applications folder");
  const std::string exe = dir.write("Applications folder/Zavro Pellora.app/Contents/MacOS/Zavro Pellora",
                                    "#!/bin/sh\necho \"$@\" >> '" + dir / "checked" + "'\n");
  ::chmod(exe.c_str(), 0755);
  ::setenv("PELLORA_APPLICATIONS_DIR", apps.c_str(), 1);
  settings.updateInterval = 50ms;
  platform::log::Capture capture;
  auto c = start();
  EXPECT_TRUE(waitUntil([&] { return readFile(dir / "checked").find("checkVersion") != std::string::npos; }));
  c.reset();
  ::unsetenv("PELLORA_APPLICATIONS_DIR");
  EXPECT_TRUE(capture.contains("Checking for new version"));
}

TEST_F(ControllerTest, DestructionIsPromptWithLongIntervals) {
  settings.monitorInterval = 30s;
  settings.updateInterval = 43200s;
  share("gateway", true);
  auto c = start();
  auto client = connect(*c);
  const auto before = std::chrono::steady_clock::now();
  c.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  EXPECT_TRUE(client->waitClosed());
}

TEST(ControllerEntry, NullControllerIsIgnored) {
  _startController(nullptr);
  _addMonitorPath(nullptr, "/x");
  _delMonitorPath(nullptr, "/x");
  _refreshFilterPaths(nullptr);
  ReleaseShellExtentionControllerClass(nullptr);
  EXPECT_EQ(createShellExtentionControllerClass(nullptr), nullptr);
}

}  // namespace
