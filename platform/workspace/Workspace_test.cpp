#include "workspace/Workspace.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <random>

#include "TempDir.h"
#include "Wait.h"
#include "bundle/PropertyList.h"
#include "process/Process.h"

namespace platform::workspace {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using pellora::testing::TempDir;
using pellora::testing::waitUntil;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text, '\0');
  return text;
}

// A bundle around a copy of test-app, under an identifier no other program on the machine has.
class WorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    identifier_ = "com.zavro.test.workspace." + std::to_string(std::random_device{}());
    bundle_ = makeBundle("Apps/Test App.app");
    records_ = dir_.mkdir("records");
    ::setenv("PELLORA_TEST_APP_RECORDS", records_.c_str(), 1);
  }
  void TearDown() override {
    for (const auto& app : RunningApplication::runningApplications(identifier_)) app.forceTerminate();
    ::unsetenv("PELLORA_TEST_APP_RECORDS");
  }

  std::string makeBundle(const std::string& relative) {
    const std::string bundle = dir_ / relative;
    fs::create_directories(bundle + "/Contents/MacOS");
    std::ofstream(bundle + "/Contents/Info.plist") << bundle::writePropertyList(
        {{"CFBundleIdentifier", identifier_}, {"CFBundleExecutable", "Test App"},
         {"CFBundleVersion", "57"}, {"CFBundleShortVersionString", "1.2.10"}});
    fs::copy_file(PELLORA_TEST_APP, bundle + "/Contents/MacOS/Test App");
    fs::permissions(bundle + "/Contents/MacOS/Test App", fs::perms::owner_all);
    return bundle;
  }

  // Opens and waits for the completion.
  std::pair<std::optional<RunningApplication>, std::optional<std::string>> open(
      const std::string& bundle, const OpenConfiguration& configuration) {
    std::promise<std::pair<std::optional<RunningApplication>, std::optional<std::string>>> done;
    int calls = 0;
    openApplication(bundle, configuration, [&](std::optional<RunningApplication> app,
                                               std::optional<std::string> error) {
      ++calls;
      done.set_value({std::move(app), std::move(error)});
    });
    auto result = done.get_future();
    EXPECT_EQ(result.wait_for(10s), std::future_status::ready);
    auto value = result.get();
    EXPECT_EQ(calls, 1);
    return value;
  }

  std::string recordOf(pid_t pid) {
    const std::string file = records_ + "/" + std::to_string(pid);
    waitUntil([&] { return fs::exists(file); });
    return readFile(file);
  }

  TempDir dir_;
  std::string identifier_, bundle_, records_;
};

TEST_F(WorkspaceTest, OpensANewInstanceDetachedWithItsArguments) {
  // A program the login-item service started passes that mark on to nobody it opens.
  ::setenv("XPC_SERVICE_NAME", "com.zavro.Pellora.Service", 1);
  auto [app, error] = open(bundle_, {.createsNewApplicationInstance = true,
                                     .arguments = {"--from-app", "two words"},
                                     .environment = {{"PELLORA_TEST_APP_EXTRA", "given"}}});
  ::unsetenv("XPC_SERVICE_NAME");
  ASSERT_TRUE(app.has_value()) << error.value_or("");
  EXPECT_FALSE(error.has_value());
  const pid_t pid = app->processIdentifier();
  const std::string record = recordOf(pid);
  EXPECT_EQ(record, "arg=--from-app\narg=two words\nxpc=unset\nextra=given\npgid=" +
                        std::to_string(pid) + "\nsid=" + std::to_string(pid) + "\nstdin=/dev/null\n");
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);  // nobody's child here
  EXPECT_EQ(app->bundleIdentifier(), identifier_);
  EXPECT_EQ(app->bundleURL(), bundle_);
  EXPECT_EQ(app->executableURL(), bundle_ + "/Contents/MacOS/Test App");
  EXPECT_FALSE(app->isTerminated());
}

TEST_F(WorkspaceTest, RunningApplicationsAreFoundByIdentifierAndPidUntilTheyEnd) {
  auto [first, e1] = open(bundle_, {.createsNewApplicationInstance = true});
  ASSERT_TRUE(first.has_value());
  // Without a new instance the running one comes back.
  auto [same, e2] = open(bundle_, {});
  ASSERT_TRUE(same.has_value());
  EXPECT_EQ(same->processIdentifier(), first->processIdentifier());
  // A second copy at another path.
  const std::string copy = makeBundle("Elsewhere/Copy.app");
  auto [second, e3] = open(copy, {.createsNewApplicationInstance = true});
  ASSERT_TRUE(second.has_value());

  const auto found = RunningApplication::runningApplications(identifier_);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_LT(found[0].processIdentifier(), found[1].processIdentifier());
  const auto byPid = RunningApplication::withProcessIdentifier(second->processIdentifier());
  ASSERT_TRUE(byPid.has_value());
  EXPECT_EQ(byPid->bundleURL(), copy);
  EXPECT_EQ(byPid->bundleIdentifier(), identifier_);

  EXPECT_TRUE(first->forceTerminate());
  EXPECT_TRUE(waitUntil([&] { return first->isTerminated(); }));
  EXPECT_FALSE(first->forceTerminate());  // gone: nothing to signal
  EXPECT_TRUE(waitUntil([&] { return RunningApplication::runningApplications(identifier_).size() == 1; }));
  EXPECT_FALSE(RunningApplication::withProcessIdentifier(first->processIdentifier()).has_value() &&
               RunningApplication::withProcessIdentifier(first->processIdentifier())->bundleIdentifier() ==
                   identifier_);
  EXPECT_TRUE(second->terminate());
  EXPECT_TRUE(waitUntil([&] { return second->isTerminated(); }));
}

// A copy in a pid namespace of its own (a container, another test's sandbox) shows in /proc,
// but it is not this session's: a service that stops other copies must not reach it.
TEST_F(WorkspaceTest, CopiesInAPidNamespaceBelowOursAreNotThisSessions) {
  auto [ours, error] = open(bundle_, {.createsNewApplicationInstance = true});
  ASSERT_TRUE(ours.has_value()) << error.value_or("");
  const std::string program = bundle_ + "/Contents/MacOS/Test App";
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  // The middle process stays in our namespace, so the pid fork gives it is ours to see.
  const pid_t middle = ::fork();
  if (middle == 0) {
    if (::unshare(CLONE_NEWPID) != 0) ::_exit(1);
    const pid_t inner = ::fork();
    if (inner == 0) {
      ::execl(program.c_str(), program.c_str(), nullptr);
      ::_exit(127);
    }
    [[maybe_unused]] const auto written = ::write(pipeFds[1], &inner, sizeof inner);
    ::waitpid(inner, nullptr, 0);
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  pid_t inner = 0;
  const bool namespaced = ::read(pipeFds[0], &inner, sizeof inner) == sizeof inner;
  ::close(pipeFds[0]);
  if (!namespaced) {
    ::waitpid(middle, nullptr, 0);
    GTEST_SKIP() << "no privilege for a pid namespace";
  }
  // Listed by its executable once it runs, so that the checks below are not before its exec.
  ASSERT_TRUE(waitUntil([&] {
    std::error_code ec;
    return fs::read_symlink("/proc/" + std::to_string(inner) + "/exe", ec) == program;
  }));

  const auto found = RunningApplication::runningApplications(identifier_);
  EXPECT_EQ(found.size(), 1u);
  for (const auto& app : found) EXPECT_EQ(app.processIdentifier(), ours->processIdentifier());
  EXPECT_FALSE(RunningApplication::withProcessIdentifier(inner).has_value());
  EXPECT_TRUE(process::inOtherPidNamespace(inner));
  EXPECT_FALSE(process::inOtherPidNamespace(ours->processIdentifier()));
  for (const auto& p : process::listProcesses()) EXPECT_NE(p.pid, inner);
  EXPECT_TRUE(process::isAlive(inner));

  ::kill(inner, SIGKILL);
  ::waitpid(middle, nullptr, 0);
}

TEST_F(WorkspaceTest, ProgramsOutsideBundlesHaveNoBundleAndEndedOnesAreNotFound) {
  const auto self = RunningApplication::withProcessIdentifier(::getpid());
  ASSERT_TRUE(self.has_value());
  EXPECT_FALSE(self->bundleIdentifier().has_value());
  EXPECT_FALSE(self->bundleURL().has_value());
  EXPECT_FALSE(mainBundleInfo().has_value());

  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_TRUE(waitUntil([&] { return !process::isAlive(child); }));
  EXPECT_FALSE(RunningApplication::withProcessIdentifier(child).has_value());  // a zombie
  ::waitpid(child, nullptr, 0);
  EXPECT_FALSE(RunningApplication::withProcessIdentifier(0).has_value());
}

TEST_F(WorkspaceTest, BundlesAreFoundUpwardsAndThroughSymbolicLinks) {
  EXPECT_EQ(enclosingBundlePath("/A/Zavro Pellora.app/Contents/Library/LoginItems/S.app/Contents/MacOS/S"),
            "/A/Zavro Pellora.app/Contents/Library/LoginItems/S.app");
  EXPECT_EQ(enclosingBundlePath("/A/S.app/Contents/PlugIns/F.appex/Contents/MacOS/F"),
            "/A/S.app/Contents/PlugIns/F.appex");
  EXPECT_FALSE(enclosingBundlePath("/usr/bin/env").has_value());

  fs::create_directory_symlink(dir_ / "Apps", dir_ / "Link");
  EXPECT_EQ(resolvingSymlinks(dir_ / "Link/Test App.app"), bundle_);
  EXPECT_EQ(resolvingSymlinks(dir_ / "Link/not/there"), dir_ / "Apps/not/there");
  const auto info = bundleInfo(dir_ / "Link/Test App.app");
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->path, bundle_);
  EXPECT_EQ(info->identifier, identifier_);
  EXPECT_EQ(info->version, "57");
  EXPECT_EQ(info->shortVersion, "1.2.10");
  EXPECT_FALSE(bundleInfo(dir_ / "none.app").has_value());

  auto [app, error] = open(dir_ / "Link/Test App.app", {.createsNewApplicationInstance = true});
  ASSERT_TRUE(app.has_value());
  EXPECT_EQ(app->bundleURL(), bundle_);
}

TEST_F(WorkspaceTest, AnApplicationThatCannotStartGivesAnError) {
  auto [none, error] = open(dir_ / "Missing.app", {.createsNewApplicationInstance = true});
  EXPECT_FALSE(none.has_value());
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->find("Missing.app"), std::string::npos);

  fs::remove(bundle_ + "/Contents/MacOS/Test App");
  auto [gone, why] = open(bundle_, {.createsNewApplicationInstance = true});
  EXPECT_FALSE(gone.has_value());
  ASSERT_TRUE(why.has_value());
  EXPECT_NE(why->find("No such file"), std::string::npos) << *why;
}

TEST_F(WorkspaceTest, URLsCanBeCapturedInsteadOfOpened) {
  const std::string log = dir_ / "urls";
  ::setenv("PELLORA_OPEN_URL_LOG", log.c_str(), 1);
  EXPECT_TRUE(openURL("x-apple.systempreferences:com.apple.preference.security?Privacy_Automation"));
  EXPECT_TRUE(openURL("https://example.invalid/help"));
  EXPECT_FALSE(openURL("--help"));  // would be an option of xdg-open
  EXPECT_FALSE(openURL(""));
  ::unsetenv("PELLORA_OPEN_URL_LOG");
  EXPECT_EQ(readFile(log),
            "x-apple.systempreferences:com.apple.preference.security?Privacy_Automation\n"
            "https://example.invalid/help\n");
}

}  // namespace
}  // namespace platform::workspace
