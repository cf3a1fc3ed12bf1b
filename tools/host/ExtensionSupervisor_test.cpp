// The supervisor against small shell-script extensions in bundles of their own, connected to a
// host on the main run loop, which the tests serve while they wait.
#include "ExtensionSupervisor.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "ExtensionHost.h"
#include "RunLoopHostLoop.h"
#include "TempDir.h"
#include "bundle/PropertyList.h"
#include "dispatch/RunLoop.h"
#include "log/Capture.h"
#include "plugins/PluginRegistry.h"

namespace pellora::host {
namespace {

using namespace std::chrono_literals;
using pellora::testing::TempDir;
using platform::dispatch::RunLoop;
using platform::plugins::PluginRegistry;
using Clock = std::chrono::steady_clock;

bool serveUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
  return RunLoop::main()->runUntil(done, timeout);
}

struct NoObserver : ExtensionHost::Observer {
  void badgeChanged(const std::string&) override {}
  void observedChanged() override {}
};

std::string contentOf(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Reads its first message into <bundle>/got, then reads on until the host closes the connection.
constexpr const char* kWellBehaved =
    "#!/bin/sh\n"
    "head -n 1 <&\"$PELLORA_FINDERSYNC_FD\" > \"${0%/Contents/MacOS/*}/got\"\n"
    "exec cat <&\"$PELLORA_FINDERSYNC_FD\" >/dev/null\n";
// Neither SIGTERM nor the end of the connection ends it, once it has written <bundle>/ready.
constexpr const char* kStubborn =
    "#!/bin/sh\n"
    "trap '' TERM\n"
    "echo > \"${0%/Contents/MacOS/*}/ready\"\n"
    "exec tail -f /dev/null\n";

class SupervisorTest : public ::testing::Test {
 protected:
  // The extensions inherit this process's environment: they get a home of their own.
  void SetUp() override {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
      if (const char* value = std::getenv(name)) saved_[name] = value;
    }
    ::setenv("HOME", dir_.mkdir("home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", dir_.mkdir("data").c_str(), 1);
  }
  void TearDown() override {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
      if (saved_.count(name)) {
        ::setenv(name, saved_[name].c_str(), 1);
      } else {
        ::unsetenv(name);
      }
    }
  }

  std::string bundle(const std::string& id, const char* script) {
    const std::string root = dir_ / (id + ".appex");
    dir_.write(id + ".appex/Contents/Info.plist",
               platform::bundle::writePropertyList(
                   {{"CFBundleIdentifier", id}, {"CFBundleExecutable", "ext"}}));
    const std::string exe = dir_.write(id + ".appex/Contents/MacOS/ext", script);
    ::chmod(exe.c_str(), 0755);
    return root;
  }
  ExtensionSupervisor::Options options() {
    ExtensionSupervisor::Options o;
    o.registryFile = registryFile_;
    o.relaunchDelay = 300ms;
    o.stopTimeout = 300ms;
    o.pollInterval = 60s;  // registry changes must be seen through the folder watch
    return o;
  }
  pid_t pidOf(const ExtensionSupervisor& s, const std::string& id) {
    for (const auto& e : s.extensions()) {
      if (e.plugin.identifier == id) return e.pid;
    }
    return 0;
  }

  TempDir dir_;
  std::string registryFile_ = dir_ / "config/pluginkit/registry.json";
  PluginRegistry registry_{registryFile_};
  RunLoopHostLoop loop_{RunLoop::main()};
  NoObserver observer_;
  ExtensionHost host_{loop_, observer_};
  std::map<std::string, std::string> saved_;
};

TEST_F(SupervisorTest, StartsRegisteredExtensionsAndStopsThoseSwitchedOff) {
  ExtensionSupervisor supervisor(loop_, host_, options());
  supervisor.start();
  const std::string path = bundle("x.one", kWellBehaved);
  ASSERT_EQ(registry_.add(path), "x.one");
  ASSERT_TRUE(serveUntil([&] { return pidOf(supervisor, "x.one") > 0; }));
  EXPECT_TRUE(host_.isConnected("x.one"));
  // The inherited socket works: the first thing the extension hears is the principal request.
  ASSERT_TRUE(serveUntil([&] { return contentOf(path + "/got").find('\n') != std::string::npos; }));
  EXPECT_EQ(contentOf(path + "/got"), "{\"op\":\"makePrincipal\"}\n");
  const pid_t first = pidOf(supervisor, "x.one");

  ASSERT_TRUE(registry_.setEnabled("x.one", false));
  ASSERT_TRUE(serveUntil([&] { return pidOf(supervisor, "x.one") == 0; }));
  EXPECT_FALSE(host_.isConnected("x.one"));
  EXPECT_EQ(::waitpid(first, nullptr, WNOHANG), -1);  // ended and reaped
  EXPECT_FALSE(supervisor.extensions().at(0).plugin.enabled);

  ASSERT_TRUE(registry_.setEnabled("x.one", true));
  ASSERT_TRUE(serveUntil([&] { return pidOf(supervisor, "x.one") > 0; }));
  EXPECT_NE(pidOf(supervisor, "x.one"), first);

  ASSERT_TRUE(registry_.remove("x.one"));
  EXPECT_TRUE(serveUntil([&] { return supervisor.extensions().empty(); }));
  EXPECT_TRUE(serveUntil([&] { return !host_.isConnected("x.one"); }));
}

TEST_F(SupervisorTest, StartsOneThatDiesAgainAfterADelayThatGrowsWhileItDiesYoung) {
  ExtensionSupervisor supervisor(loop_, host_, options());
  ASSERT_TRUE(registry_.add(bundle("x.dies", kWellBehaved)).has_value());
  supervisor.start();
  ASSERT_TRUE(serveUntil([&] { return pidOf(supervisor, "x.dies") > 0; }));
  std::vector<Clock::duration> gaps;
  for (int round = 0; round < 2; ++round) {
    const pid_t pid = pidOf(supervisor, "x.dies");
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    ASSERT_TRUE(serveUntil([&] { return pidOf(supervisor, "x.dies") == 0; }));
    const auto died = Clock::now();
    ASSERT_TRUE(serveUntil([&] { return pidOf(supervisor, "x.dies") > 0; }));
    gaps.push_back(Clock::now() - died);
    EXPECT_NE(pidOf(supervisor, "x.dies"), pid);
  }
  EXPECT_GE(gaps[0], 250ms);  // not at once
  EXPECT_GE(gaps[1], 550ms);  // twice as long: it died young again
  EXPECT_TRUE(host_.isConnected("x.dies"));
}

TEST_F(SupervisorTest, KillsOneThatDoesNotEndOnSigterm) {
  ExtensionSupervisor supervisor(loop_, host_, options());
  const std::string path = bundle("x.stubborn", kStubborn);
  ASSERT_TRUE(registry_.add(path).has_value());
  supervisor.start();
  ASSERT_TRUE(serveUntil([&] { return pidOf(supervisor, "x.stubborn") > 0; }));
  ASSERT_TRUE(serveUntil([&] { return std::filesystem::exists(path + "/ready"); }));
  const auto asked = Clock::now();
  ASSERT_TRUE(registry_.setEnabled("x.stubborn", false));
  ASSERT_TRUE(serveUntil([&] { return pidOf(supervisor, "x.stubborn") == 0; }));
  EXPECT_GE(Clock::now() - asked, 250ms);
}

TEST_F(SupervisorTest, OneThatCannotStartIsTriedAgainWithoutBusyLooping) {
  platform::log::Capture capture;
  ExtensionSupervisor supervisor(loop_, host_, options());
  const std::string path = bundle("x.broken", kWellBehaved);
  std::filesystem::remove(path + "/Contents/MacOS/ext");
  ASSERT_TRUE(registry_.add(path).has_value());
  supervisor.start();
  // Delays of 300, 600, 1200 ms: at most four tries in the first 1.5 s.
  serveUntil([] { return false; }, 1500ms);
  const size_t tries = capture.count("Cannot start x.broken");
  EXPECT_GE(tries, 2u);
  EXPECT_LE(tries, 4u);
}

TEST_F(SupervisorTest, StopAllEndsEveryExtensionAndStartsNoneAfterwards) {
  ExtensionSupervisor supervisor(loop_, host_, options());
  ASSERT_TRUE(registry_.add(bundle("x.a", kWellBehaved)).has_value());
  ASSERT_TRUE(registry_.add(bundle("x.b", kStubborn)).has_value());
  supervisor.start();
  ASSERT_TRUE(
      serveUntil([&] { return pidOf(supervisor, "x.a") > 0 && pidOf(supervisor, "x.b") > 0; }));
  const pid_t a = pidOf(supervisor, "x.a"), b = pidOf(supervisor, "x.b");
  supervisor.stopAll();
  EXPECT_EQ(pidOf(supervisor, "x.a"), 0);
  EXPECT_EQ(pidOf(supervisor, "x.b"), 0);
  // Both are reaped: the ids no longer name children of ours.
  EXPECT_EQ(::waitpid(a, nullptr, WNOHANG), -1);
  EXPECT_EQ(::waitpid(b, nullptr, WNOHANG), -1);
  ASSERT_TRUE(registry_.setEnabled("x.a", true));
  EXPECT_FALSE(serveUntil([&] { return pidOf(supervisor, "x.a") > 0; }, 300ms));
}

}  // namespace
}  // namespace pellora::host
