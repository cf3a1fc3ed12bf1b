// The handler's parts that start no service and look at no other process. What starts, stops
// and finds service copies is tested in ServiceEnableHandler_e2e_test.cpp, in namespaces.
#include "ServiceEnableHandler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "ServiceLockFile.h"
#include "TempDir.h"
#include "defaults/SuiteFile.h"
#include "defaults/UserDefaults.h"
#include "log/Capture.h"
#include "plugins/PluginRegistry.h"

namespace {

using platform::defaults::UserDefaults;
using platform::defaults::Value;
using pellora::testing::TempDir;
using namespace std::chrono_literals;

class ServiceEnableHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
    ::setenv("PELLORA_MANAGED_DEFAULTS_DIR", (home_ / "managed").c_str(), 1);
    ServiceEnableHandler::Environment env;
    env.home = home_.path();
    env.pluginTool = PELLORA_PLUGINKIT_PATH;
    env.timeouts.poll = 10ms;
    ServiceEnableHandler::setEnvironment(env);
  }
  void TearDown() override {
    ServiceEnableHandler::setEnvironment({});
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("PELLORA_MANAGED_DEFAULTS_DIR");
  }
  std::shared_ptr<UserDefaults> suite() { return UserDefaults::suite(kSharedDefaultsSuite); }
  std::string lockFile() const { return ServiceLockFile::lockFilePath(home_.path()); }

  TempDir home_;
};

TEST_F(ServiceEnableHandlerTest, StoredEnableValuesOfEveryKindAreInterpreted) {
  using H = ServiceEnableHandler;
  EXPECT_EQ(H::enabledValue(Value(" Yes\t")), true);
  EXPECT_EQ(H::enabledValue(Value("TRUE")), true);
  EXPECT_EQ(H::enabledValue(Value("1")), true);
  EXPECT_EQ(H::enabledValue(Value("no")), false);
  EXPECT_EQ(H::enabledValue(Value("2")), false);
  EXPECT_EQ(H::enabledValue(Value("")), false);
  EXPECT_EQ(H::enabledValue(Value(2)), true);
  EXPECT_EQ(H::enabledValue(Value(0)), false);
  EXPECT_EQ(H::enabledValue(Value(0.5)), true);
  EXPECT_EQ(H::enabledValue(Value(false)), false);
  EXPECT_EQ(H::enabledValue(Value(true)), true);
  EXPECT_FALSE(H::enabledValue(Value(Value::Array{Value("1")})).has_value());
  EXPECT_FALSE(H::enabledValue(Value(Value::Dictionary{})).has_value());
  EXPECT_FALSE(H::enabledValue(std::nullopt).has_value());
}

TEST_F(ServiceEnableHandlerTest, TheEnableKeyIsTextAndAnUnreadableOneBecomesOn) {
  platform::log::Capture capture;
  EXPECT_TRUE(ServiceEnableHandler::isEnabledInDefaults());  // absent counts as on
  EXPECT_FALSE(suite()->object(kEnabledDefaultsKey).has_value());  // and nothing was written

  ServiceEnableHandler::updateUserDefaults(false);
  EXPECT_EQ(suite()->object(kEnabledDefaultsKey), Value("0"));  // text, not a Boolean
  EXPECT_TRUE(capture.contains("\"ServiceEnableHandler -> updateUserDefaults -> false\". <Service>"));
  EXPECT_FALSE(ServiceEnableHandler::isEnabledInDefaults());
  EXPECT_EQ(ServiceEnableHandler::userDefaultsHandler(std::nullopt), false);
  EXPECT_FALSE(ServiceEnableHandler::userDefaultsHandler(true).has_value());
  EXPECT_EQ(suite()->object(kEnabledDefaultsKey), Value("1"));

  suite()->set(kEnabledDefaultsKey, Value(Value::Array{Value("0")}));
  EXPECT_TRUE(ServiceEnableHandler::isEnabledInDefaults());
  EXPECT_EQ(suite()->object(kEnabledDefaultsKey), Value(Value::Array{Value("0")}));
  EXPECT_EQ(ServiceEnableHandler::userDefaultsHandler(std::nullopt), true);
  EXPECT_EQ(suite()->object(kEnabledDefaultsKey), Value("1"));
}

TEST_F(ServiceEnableHandlerTest, AManagedEnableKeyIsForcedAndWins) {
  EXPECT_FALSE(ServiceEnableHandler::isEnabledForced());
  home_.write("managed/Q7MZK2RX4B.group.zavro.Pellora.json", R"({"PLEnabled": false})");
  EXPECT_TRUE(ServiceEnableHandler::isEnabledForced());
  ServiceEnableHandler::updateUserDefaults(true);
  EXPECT_FALSE(ServiceEnableHandler::isEnabledInDefaults());
}

TEST_F(ServiceEnableHandlerTest, TheFinderExtensionIsSwitchedThroughThePluginToolWithTheMarker) {
  const platform::plugins::PluginRegistry registry(home_ / ".config/pluginkit/registry.json");
  ServiceEnableHandler::setFinderExtension(false);
  EXPECT_TRUE(ServiceEnableHandler::offByMarkerExists());
  EXPECT_EQ(ServiceEnableHandler::offByMarkerPath(), home_ / ".zavroPellora/extension.off-by-pellora");
  ASSERT_TRUE(registry.find(kFinderExtensionIdentifier).has_value());
  EXPECT_FALSE(registry.find(kFinderExtensionIdentifier)->enabled);

  ServiceEnableHandler::setFinderExtension(true);
  EXPECT_FALSE(ServiceEnableHandler::offByMarkerExists());
  EXPECT_TRUE(registry.find(kFinderExtensionIdentifier)->enabled);

  EXPECT_EQ(ServiceEnableHandler::shell({"sh", "-c", "exit 7"}), 7);
  EXPECT_EQ(ServiceEnableHandler::shell({"no-such-program-anywhere"}), 127);
}

TEST_F(ServiceEnableHandlerTest, LockProbesTellAHeldLockFromAFreeOne) {
  platform::log::Capture capture;
  // No lock file: nothing runs, and the wait for its end is over at once.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(ServiceEnableHandler::waitForServiceExit(3.0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_FALSE(ServiceEnableHandler::isServiceLockHeld());

  ServiceLockFile::createHiddenFolder(home_.path());
  const int holder = ServiceLockFile::openForHolder(home_.path());
  ASSERT_GE(holder, 0);
  ASSERT_TRUE(ServiceLockFile::writeHolderLine(holder, 4242, "57"));
  EXPECT_FALSE(ServiceEnableHandler::isServiceLockHeld());  // the file alone is no holder
  EXPECT_TRUE(ServiceEnableHandler::waitForServiceExit(0.2));

  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_TRUE(ServiceEnableHandler::isServiceLockHeld());
  EXPECT_FALSE(ServiceEnableHandler::waitForServiceExit(0.25));
  EXPECT_TRUE(capture.contains("\"ServiceEnableHandler -> service still holds the lock after 0.25s\""));
  EXPECT_TRUE(ServiceEnableHandler::waitForServiceLock(4242, 1.0));
  EXPECT_FALSE(ServiceEnableHandler::waitForServiceLock(4243, 0.2));
  EXPECT_TRUE(capture.contains("\"ServiceEnableHandler -> service pid 4243 did not take the lock within 0.2s\""));

  ::close(holder);
  EXPECT_FALSE(ServiceEnableHandler::isServiceLockHeld());
  EXPECT_FALSE(ServiceEnableHandler::waitForServiceLock(4242, 0.1));  // named, but not held
  EXPECT_TRUE(ServiceEnableHandler::waitForServiceExit(3.0));
  EXPECT_TRUE(capture.contains("did not take the lock within 0.1s"));
}

}  // namespace
