// The main application with real processes, each test in a temporary home: the program itself
// in application bundles of its own (updates through a local signed feed, version checks,
// reopening), and the status window in this process switching a stand-in service off and on
// through the enable handler. The stand-in takes the service's lock as the service does.
// Runs in its own pid namespace (tests/isolated.sh): the application stops every service copy
// it sees, and here it sees only this test's.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionButton>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "AppDelegate.h"
#include "QtTestEnvironment.h"  // one application for the whole binary
#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "TempDir.h"
#include "TestProcess.h"
#include "UpdateDelegate.h"
#include "ViewController.h"
#include "Wait.h"
#include "bundle/PropertyList.h"
#include "defaults/UserDefaults.h"
#include "loginitems/LoginItems.h"
#include "process/Process.h"
#include "ui/Application.h"
#include "workspace/Workspace.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::defaults::Value;
using platform::loginitems::LoginItems;
using platform::loginitems::Status;
using platform::workspace::RunningApplication;
using pellora::testing::TempDir;
using pellora::testing::TestProcess;
using pellora::testing::waitUntil;

const std::string kAppExecutable = "Contents/MacOS/Zavro Pellora";
const std::string kServiceExecutable = "Contents/MacOS/Zavro Pellora Service";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void copyExecutable(const std::string& from, const std::string& to) {
  fs::create_directories(fs::path(to).parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

class AppE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = {{"HOME", home_.path()},
            {"XDG_CONFIG_HOME", home_ / ".config"},
            {"XDG_DATA_HOME", home_ / ".local/share"},
            {"PELLORA_MANAGED_DEFAULTS_DIR", home_ / "managed"},
            {"PELLORA_PLUGINKIT", PELLORA_PLUGINKIT_PATH},
            {"PELLORA_APPLICATIONS_DIR", home_ / "Applications"},
            {"PELLORA_STANDIN_RECORDS", home_.mkdir("records")},
            {"PELLORA_WINDOW_SNAPSHOTS", home_.mkdir("pictures")},
            {"PELLORA_OPEN_URL_LOG", home_ / "opened-urls"},
            {"PELLORA_LOG", "stderr"},
            {"QT_QPA_PLATFORM", "offscreen"}};
    // This process reads the same files as the programs it starts.
    for (const auto& [name, value] : env_) ::setenv(name.c_str(), value.c_str(), 1);
    ::unsetenv("XPC_SERVICE_NAME");
    env_["XPC_SERVICE_NAME"] = "";  // removed for the started programs

    app_ = home_ / "Applications/Zavro Pellora.app";
    ASSERT_EQ(signer({"generate-keys", home_ / "release.key"}, &publicKey_), 0);
    ASSERT_EQ(signer({"generate-keys", home_ / "other.key"}), 0);
    feed_ = home_.mkdir("feed");
    makeBundle(app_, "7", "file://" + feed_ + "/appcast.xml");
    // The Finder extension inside the service bundle, known to the plug-in tool.
    const std::string appex = service() + "/Contents/PlugIns/PelloraFinder.appex";
    fs::create_directories(appex + "/Contents");
    writeFile(appex + "/Contents/Info.plist",
              platform::bundle::writePropertyList({{"CFBundleIdentifier", kFinderExtensionIdentifier}, {"CFBundleVersion", "7"}}));
    ASSERT_EQ(pluginkit({"-a", appex}), 0);
  }

  void TearDown() override {
    // Again until none is left: a copy may still be on its way up.
    EXPECT_TRUE(waitUntil([] {
      auto copies = RunningApplication::runningApplications(kServiceBundleIdentifier);
      for (const auto& app : RunningApplication::runningApplications(kMainAppBundleIdentifier)) copies.push_back(app);
      for (const auto& app : copies) {
        if (app.processIdentifier() != ::getpid()) app.forceTerminate();
      }
      return copies.empty();
    }));
    // This process is the namespace's init: what it inherited is reaped here.
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    ServiceEnableHandler::setEnvironment({});
    ServiceEnableHandler::loginItemUnregistered = false;
  }

  // An application bundle of version, with the program of this build and a stand-in service.
  void makeBundle(const std::string& root, const std::string& version, const std::string& feedURL) {
    fs::create_directories(root + "/Contents/Resources/en.lproj");
    std::map<std::string, std::string> info{{"CFBundleIdentifier", kMainAppBundleIdentifier},
                                            {"CFBundleExecutable", "Zavro Pellora"},
                                            {"CFBundleVersion", version},
                                            {"CFBundleShortVersionString", "1.0." + version},
                                            {"UpdaterPublicEDKey", publicKey_}};
    if (!feedURL.empty()) info["UpdaterFeedURL"] = feedURL;
    writeFile(root + "/Contents/Info.plist", platform::bundle::writePropertyList(info));
    copyExecutable(std::string(PELLORA_APP_BUNDLE) + "/" + kAppExecutable, root + "/" + kAppExecutable);
    for (const std::string resource : {"Main.ui", "en.lproj/Localizable.strings"}) {
      fs::copy_file(std::string(PELLORA_APP_BUNDLE) + "/Contents/Resources/" + resource,
                    root + "/Contents/Resources/" + resource, fs::copy_options::overwrite_existing);
    }
    const std::string serviceBundle = root + "/" + kServiceBundleInApp;
    fs::create_directories(serviceBundle + "/Contents");
    writeFile(serviceBundle + "/Contents/Info.plist",
              platform::bundle::writePropertyList({{"CFBundleIdentifier", kServiceBundleIdentifier},
                                                   {"CFBundleExecutable", "Zavro Pellora Service"},
                                                   {"CFBundleVersion", version}}));
    copyExecutable(PELLORA_SERVICE_STANDIN, serviceBundle + "/" + kServiceExecutable);
  }
  std::string service() const { return app_ + "/" + kServiceBundleInApp; }

  int signer(const std::vector<std::string>& args, std::string* output = nullptr) {
    std::vector<std::string> argv{PELLORA_UPDATE_SIGNER_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    const int status = pellora::testing::runToEnd(argv, {}, &out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    if (output) *output = out;
    return status;
  }
  int pluginkit(std::vector<std::string> args, std::string* output = nullptr) {
    args.insert(args.begin(), PELLORA_PLUGINKIT_PATH);
    return pellora::testing::runToEnd(args, {}, output);
  }
  std::optional<bool> extensionEnabled() {
    std::string out;
    if (pluginkit({"-m", "-i", kFinderExtensionIdentifier}, &out) != 0 || out.empty()) return std::nullopt;
    return out[0] == '+';
  }

  // Version 8 of the bundle, packed and listed in the feed, signed with key.
  std::string publishVersion8(const std::string& key = "release.key") {
    const std::string staging = home_.mkdir("staging") + "/Zavro Pellora.app";
    makeBundle(staging, "8", "file://" + feed_ + "/appcast.xml");
    const std::string archive = feed_ + "/pellora-8.tar.gz";
    EXPECT_EQ(signer({"archive", staging, archive}), 0);
    EXPECT_EQ(signer({"appcast", home_ / key, feed_ + "/appcast.xml", "--item", "8", "1.0.8", "file://" + archive,
                      archive}),
              0);
    return archive;
  }
  // A feed that names nothing newer than version 7.
  void publishNothingNew(const std::string& file) {
    const std::string archive = feed_ + "/pellora-7.tar.gz";
    if (!fs::exists(archive)) {
      EXPECT_EQ(signer({"archive", app_, archive}), 0);
    }
    EXPECT_EQ(signer({"appcast", home_ / "release.key", file, "--item", "7", "1.0.7", "file://" + archive, archive}), 0);
  }

  std::shared_ptr<platform::defaults::UserDefaults> appDefaults() const {
    return platform::defaults::UserDefaults::suite(kMainAppBundleIdentifier);
  }
  std::optional<LockHolder> holder() const {
    const int fd = ServiceLockFile::openForProbe(home_.path());
    if (fd < 0) return std::nullopt;
    auto h = ServiceLockFile::readLockHolder(fd);
    ::close(fd);
    return h;
  }
  std::string record(pid_t pid) const { return readFile(home_ / "records/" + std::to_string(pid)); }
  // A service copy started as a user would, outside the application.
  pid_t startService(const std::string& bundle) {
    const auto spawned = platform::process::spawnDetached({bundle + "/" + kServiceExecutable});
    EXPECT_GT(spawned.pid, 0);
    EXPECT_TRUE(waitUntil([&] { return holder() && holder()->pid == spawned.pid; }));
    return spawned.pid;
  }
  bool startApp(TestProcess& process, const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv{app_ + "/" + kAppExecutable};
    argv.insert(argv.end(), args.begin(), args.end());
    return process.start(argv, env_, home_ / ("app-" + std::to_string(++apps_) + ".log"));
  }
  size_t pictures() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(home_ / "pictures"), fs::directory_iterator()));
  }
  size_t count(const std::string& text, const std::string& part) const {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

  TempDir home_;
  std::map<std::string, std::string> env_;
  std::string app_, feed_, publicKey_;
  int apps_ = 0;
};

TEST_F(AppE2E, AnUpdateReplacesTheBundleAndTheServiceRunsFromTheNewOne) {
  publishVersion8();
  appDefaults()->set(UpdateDelegate::lastLaunchedVersionKey, Value("7"));
  const pid_t old = startService(service());
  ASSERT_EQ(holder()->version, "7");

  TestProcess app;
  ASSERT_TRUE(startApp(app));
  // Version 7 installs 8, starts it and ends; version 8 stops the old service and opens its own.
  int status = -1;
  ASSERT_TRUE(app.waitExit(60s, &status)) << app.log();
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(waitUntil([&] { return holder() && holder()->version == "8"; }, 30s)) << app.log();
  EXPECT_FALSE(platform::process::isAlive(old));
  const auto info = platform::workspace::bundleInfo(app_);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->version, "8");
  const auto running = RunningApplication::withProcessIdentifier(holder()->pid);
  ASSERT_TRUE(running);
  EXPECT_EQ(running->bundleURL(), platform::workspace::resolvingSymlinks(service()));
  EXPECT_EQ(record(holder()->pid), "arg=--from-app\nxpc=unset\n");
  // Every service copy there is runs the program now installed (an old copy's was replaced).
  const std::string installed = platform::workspace::resolvingSymlinks(service() + "/" + kServiceExecutable);
  for (const auto& copy : RunningApplication::runningApplications(kServiceBundleIdentifier)) {
    char target[4096] = {};
    ASSERT_GT(::readlink(("/proc/" + std::to_string(copy.processIdentifier()) + "/exe").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), installed) << copy.processIdentifier();
  }
  EXPECT_TRUE(waitUntil([] { return LoginItems().status(kServiceBundleIdentifier) == Status::Enabled; }));
  EXPECT_TRUE(waitUntil([&] { return appDefaults()->string(UpdateDelegate::lastLaunchedVersionKey) == "8"; }));
  const std::string log = app.log();
  EXPECT_NE(log.find("Installed version 1.0.8 (8)"), std::string::npos) << log;

  // The new version runs, and quits on request.
  // (A child it is starting shows as a copy of it until that child runs its own program.)
  std::vector<RunningApplication> apps;
  ASSERT_TRUE(waitUntil([&] {
    apps = RunningApplication::runningApplications(kMainAppBundleIdentifier);
    return apps.size() == 1;
  }));
  EXPECT_NE(apps[0].processIdentifier(), app.pid());
  ASSERT_TRUE(apps[0].terminate());
  EXPECT_TRUE(waitUntil([&] { return apps[0].isTerminated(); }));
}

TEST_F(AppE2E, ABrokenArchiveIsRejectedAndTheOldBundleRunsOn) {
  const pid_t old = startService(service());
  const std::string original = readFile(app_ + "/" + kAppExecutable);
  struct Case {
    std::string name;
    std::function<void(const std::string& archive)> spoil;
  };
  const std::vector<Case> cases = {
      {"one flipped byte",
       [](const std::string& archive) {
         std::string bytes = readFile(archive);
         bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x01);
         writeFile(archive, bytes);
       }},
      {"a wrong length",
       [&](const std::string& archive) {
         const std::string size = std::to_string(fs::file_size(archive));
         const std::string feed = readFile(feed_ + "/appcast.xml");
         const std::string spoilt = std::regex_replace(feed, std::regex("length=\"" + size + "\""),
                                                       "length=\"" + std::to_string(fs::file_size(archive) + 1) + "\"");
         ASSERT_NE(spoilt, feed);
         writeFile(feed_ + "/appcast.xml", spoilt);
       }},
      {"another key", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(home_ / "staging");
    const std::string archive = publishVersion8(c.spoil ? "release.key" : "other.key");
    if (c.spoil) c.spoil(archive);
    TestProcess app;
    ASSERT_TRUE(startApp(app, {kCheckVersionArgument}));
    int status = -1;
    ASSERT_TRUE(app.waitExit(30s, &status)) << app.log();
    EXPECT_EQ(status, 0);
    const std::string log = app.log();
    EXPECT_NE(log.find("the update 1.0.8 (8) was rejected"), std::string::npos) << log;
    EXPECT_EQ(log.find("Installed version"), std::string::npos) << log;
    EXPECT_EQ(platform::workspace::bundleInfo(app_)->version, "7");
    EXPECT_EQ(readFile(app_ + "/" + kAppExecutable), original);
    EXPECT_TRUE(platform::process::isAlive(old));
    EXPECT_EQ(holder()->pid, old);
    EXPECT_TRUE(RunningApplication::runningApplications(kMainAppBundleIdentifier).empty());
    // Nothing of the attempt is left beside the bundle.
    for (const auto& e : fs::directory_iterator(home_ / "Applications")) {
      EXPECT_EQ(e.path().filename(), "Zavro Pellora.app");
    }
  }
  // The old bundle still works: its program answers.
  std::string out;
  EXPECT_EQ(pellora::testing::runToEnd({app_ + "/" + kAppExecutable, "--version"}, {}, &out), 0);
  EXPECT_EQ(out, "Zavro Pellora 1.0.7 (7)\n");
}

TEST_F(AppE2E, AVersionCheckRunsOneCycleWithoutAWindowAndQuits) {
  publishNothingNew(feed_ + "/appcast.xml");
  TestProcess app;
  ASSERT_TRUE(startApp(app, {kCheckVersionArgument}));
  int status = -1;
  ASSERT_TRUE(app.waitExit(30s, &status)) << app.log();
  EXPECT_EQ(status, 0);
  std::string log = app.log();
  EXPECT_EQ(count(log, "Checking for updates at file://" + feed_ + "/appcast.xml"), 1u) << log;
  EXPECT_NE(log.find("the feed names no version newer than \"7\""), std::string::npos) << log;
  EXPECT_EQ(pictures(), 0u);
  // No service ran: a version check opens one, without asking for permissions.
  ASSERT_TRUE(waitUntil([&] { return holder().has_value(); }));
  EXPECT_EQ(record(holder()->pid), "xpc=unset\n");
  // Its own defaults untouched: a version check is no launch of a new version.
  EXPECT_FALSE(appDefaults()->object(UpdateDelegate::lastLaunchedVersionKey));

  // The override of the application's defaults is the feed while it is set.
  publishNothingNew(feed_ + "/qa.xml");
  appDefaults()->set(UpdateDelegate::qaFeedURLKey, Value("file://" + feed_ + "/qa.xml"));
  TestProcess qa;
  ASSERT_TRUE(startApp(qa, {kCheckVersionArgument}));
  ASSERT_TRUE(qa.waitExit(30s, &status)) << qa.log();
  EXPECT_EQ(count(qa.log(), "Checking for updates at file://" + feed_ + "/qa.xml"), 1u) << qa.log();
  appDefaults()->removeObject(UpdateDelegate::qaFeedURLKey);
  TestProcess again;
  ASSERT_TRUE(startApp(again, {kCheckVersionArgument}));
  ASSERT_TRUE(again.waitExit(30s, &status));
  EXPECT_EQ(count(again.log(), "Checking for updates at file://" + feed_ + "/appcast.xml"), 1u) << again.log();
  EXPECT_EQ(pictures(), 0u);
}

TEST_F(AppE2E, OpeningTheApplicationAgainReopensTheRunningCopy) {
  publishNothingNew(feed_ + "/appcast.xml");
  TestProcess app;
  ASSERT_TRUE(startApp(app));
  ASSERT_TRUE(waitUntil([&] { return pictures() == 1; }, 20s)) << app.log();
  EXPECT_TRUE(waitUntil([&] { return app.log().find("the feed names no version newer") != std::string::npos; }));

  TestProcess second;
  ASSERT_TRUE(startApp(second));
  int status = -1;
  ASSERT_TRUE(second.waitExit(10s, &status));
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(waitUntil([&] { return app.log().find("Zarvo Launcher applicationShouldHandleReopen") != std::string::npos; }));
  EXPECT_EQ(app.log().find("Handling accessory state on reopen"), std::string::npos);
  EXPECT_TRUE(app.running());
  EXPECT_EQ(RunningApplication::runningApplications(kMainAppBundleIdentifier).size(), 1u);

  // Quitting gives the socket back; the next start is a copy of its own again.
  EXPECT_EQ(app.stop(), 0);
  EXPECT_FALSE(fs::exists(home_ / ".zavroPellora/app.socket"));
  fs::remove_all(home_ / "pictures");
  fs::create_directories(home_ / "pictures");
  TestProcess third;
  ASSERT_TRUE(startApp(third));
  EXPECT_TRUE(waitUntil([&] { return pictures() == 1; }, 20s)) << third.log();
  // A copy that died leaves its socket behind; the next start replaces it.
  ASSERT_TRUE(platform::process::sendSignal(third.pid(), SIGKILL));
  ASSERT_TRUE(third.waitExit(10s));
  ASSERT_TRUE(fs::exists(home_ / ".zavroPellora/app.socket"));
  TestProcess fourth;
  ASSERT_TRUE(startApp(fourth));
  // It runs on its own (its own update check), and the next start hands itself to it.
  EXPECT_TRUE(waitUntil([&] { return fourth.log().find("Checking for updates") != std::string::npos; }, 20s))
      << fourth.log();
  TestProcess fifth;
  ASSERT_TRUE(startApp(fifth));
  ASSERT_TRUE(fifth.waitExit(10s));
  EXPECT_TRUE(waitUntil([&] { return fourth.log().find("applicationShouldHandleReopen") != std::string::npos; }));
  EXPECT_EQ(fourth.stop(), 0);
}

// The status window in this process, with the real enable handler and plug-in tool.
class StatusWindowE2E : public AppE2E {
 protected:
  void SetUp() override {
    AppE2E::SetUp();
    ServiceEnableHandler::Environment env;
    env.mainBundlePath = app_;
    env.arguments = {app_ + "/" + kAppExecutable};
    env.home = home_.path();
    env.pluginTool = PELLORA_PLUGINKIT_PATH;
    env.timeouts.poll = 20ms;
    ServiceEnableHandler::setEnvironment(env);
  }
  void TearDown() override {
    controller_.reset();
    AppE2E::TearDown();
  }

  static void click(QAbstractButton* button) {
    QStyleOptionButton option;
    option.initFrom(button);
    const QPointF at = QRectF(button->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, button)).center();
    const QPointF global = button->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(button, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(button, &release);
  }
  bool serve(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
    return platform::ui::runUntil(done, timeout);
  }
  void picture(const std::string& name) {
    fs::create_directories(PELLORA_ARTIFACT_DIR);
    EXPECT_TRUE(controller_->window()->grab().save(
        QString::fromStdString(std::string(PELLORA_ARTIFACT_DIR) + "/app-" + name + ".png")));
  }

  std::shared_ptr<ViewController> controller_;
};

TEST_F(StatusWindowE2E, TheSwitchTurnsTheAddOnOffAndOnAgain) {
  const pid_t old = startService(service());
  ViewController::Settings settings;
  settings.pluginTool = PELLORA_PLUGINKIT_PATH;
  settings.timing.quietPeriod = 300ms;
  controller_ = ViewController::instantiate(platform::bundle::Bundle(app_), settings);
  ASSERT_TRUE(controller_);
  controller_->window()->show();
  ZVButton* enable = controller_->enableCheckBox;
  ASSERT_TRUE(enable->isChecked());
  ASSERT_EQ(extensionEnabled(), true);

  click(enable);
  ASSERT_TRUE(serve([&] { return enable->isEnabled(); }));
  EXPECT_FALSE(enable->isChecked());
  EXPECT_FALSE(platform::process::isAlive(old));
  EXPECT_TRUE(RunningApplication::runningApplications(kServiceBundleIdentifier).empty());
  EXPECT_FALSE(ServiceEnableHandler::isServiceLockHeld());
  EXPECT_EQ(extensionEnabled(), false);
  EXPECT_TRUE(ServiceEnableHandler::offByMarkerExists());
  EXPECT_EQ(LoginItems().status(kServiceBundleIdentifier), Status::NotRegistered);
  EXPECT_TRUE(controller_->currentProblems().empty());  // the key is off
  picture("switched-off");

  ASSERT_TRUE(serve([&] { return !enable->disableMouseDown; }));
  click(enable);
  ASSERT_TRUE(serve([&] { return enable->isEnabled(); }));
  EXPECT_TRUE(enable->isChecked());
  ASSERT_TRUE(holder().has_value());
  const auto running = RunningApplication::withProcessIdentifier(holder()->pid);
  ASSERT_TRUE(running);
  EXPECT_EQ(running->bundleURL(), platform::workspace::resolvingSymlinks(service()));
  EXPECT_EQ(record(holder()->pid), "arg=--from-app\nxpc=unset\n");
  EXPECT_TRUE(ServiceEnableHandler::appCopyHoldsLock);
  EXPECT_EQ(extensionEnabled(), true);
  EXPECT_FALSE(ServiceEnableHandler::offByMarkerExists());
  EXPECT_EQ(LoginItems().status(kServiceBundleIdentifier), Status::Enabled);
  // Once the quiet period is over, the running service and the extension show no problem.
  ASSERT_TRUE(serve([&] {
    controller_->appBecameActive();
    return controller_->model().extensionEnabled == true;
  }));
  serve([] { return false; }, 400ms);
  controller_->refreshStatus();
  EXPECT_TRUE(controller_->currentProblems().empty());
  picture("switched-on");
}

TEST_F(StatusWindowE2E, AfterAnUpdateTheOldServiceCopiesAreStoppedOnce) {
  // A first launch, with no service running: the version is noted, nothing is stopped.
  EXPECT_FALSE(UpdateDelegate::stopOldHelperIfAppWasUpdated());
  EXPECT_EQ(appDefaults()->string(UpdateDelegate::lastLaunchedVersionKey), "7");
  EXPECT_FALSE(ServiceEnableHandler::loginItemUnregistered);

  // The same version again: the running copy is left alone.
  const pid_t copy = startService(service());
  EXPECT_FALSE(UpdateDelegate::stopOldHelperIfAppWasUpdated());
  EXPECT_TRUE(platform::process::isAlive(copy));

  // Launched after an update: the copy and the login item's standby copy are stopped.
  ASSERT_EQ(LoginItems().registerItem(kServiceBundleIdentifier, service()), Status::Enabled);
  ASSERT_TRUE(waitUntil([&] { return ServiceLockFile::readStandbyMarker(home_.path()).has_value(); }));
  const pid_t standby = *ServiceLockFile::readStandbyMarker(home_.path());
  appDefaults()->set(UpdateDelegate::lastLaunchedVersionKey, Value("6"));
  EXPECT_TRUE(UpdateDelegate::stopOldHelperIfAppWasUpdated());
  EXPECT_FALSE(platform::process::isAlive(copy));
  EXPECT_FALSE(platform::process::isAlive(standby));
  EXPECT_FALSE(ServiceEnableHandler::isServiceLockHeld());
  EXPECT_TRUE(ServiceEnableHandler::loginItemUnregistered);
  EXPECT_EQ(LoginItems().status(kServiceBundleIdentifier), Status::NotRegistered);
  EXPECT_EQ(appDefaults()->string(UpdateDelegate::lastLaunchedVersionKey), "7");

  // Quitting while the login item is unregistered registers it again, only with the key on.
  AppDelegate delegate;
  ServiceEnableHandler::updateUserDefaults(false);
  delegate.applicationWillTerminate();
  EXPECT_EQ(LoginItems().status(kServiceBundleIdentifier), Status::NotRegistered);
  ServiceEnableHandler::updateUserDefaults(true);
  delegate.applicationWillTerminate();
  EXPECT_EQ(LoginItems().status(kServiceBundleIdentifier), Status::Enabled);
  // Registering started the job again; with no other copy it takes the lock.
  EXPECT_TRUE(waitUntil([&] {
    const auto job = LoginItems().runningJob(kServiceBundleIdentifier);
    return job && holder() && holder()->pid == *job;
  }));
}

}  // namespace
