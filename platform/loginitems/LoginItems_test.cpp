#include "loginitems/LoginItems.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "TempDir.h"
#include "Wait.h"
#include "bundle/PropertyList.h"
#include "loginitems/DesktopEntry.h"
#include "process/Process.h"

namespace platform::loginitems {
namespace {

namespace fs = std::filesystem;
using pellora::testing::TempDir;
using pellora::testing::waitUntil;

constexpr const char* kId = "com.zavro.Pellora.Service";

// What test-app wrote, by pid.
std::map<pid_t, std::string> records(const std::string& dir) {
  std::map<pid_t, std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.find('.') != std::string::npos) continue;
    std::ifstream in(e.path());
    std::string text;
    std::getline(in, text, '\0');
    out[std::atoi(name.c_str())] = text;
  }
  return out;
}

class LoginItemsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A bundle path with what desktop entries must quote.
    bundle_ = dir_ / "Apps/Zavro Pellora.app/Contents/Library/LoginItems/Zavro \"$vc\" 100%.app";
    fs::create_directories(bundle_ + "/Contents/MacOS");
    std::ofstream(bundle_ + "/Contents/Info.plist")
        << bundle::writePropertyList({{"CFBundleIdentifier", kId}, {"CFBundleExecutable", "Service"}});
    executable_ = bundle_ + "/Contents/MacOS/Service";
    fs::copy_file(PELLORA_TEST_APP, executable_);
    fs::permissions(executable_, fs::perms::owner_all);
    records_ = dir_.mkdir("records");
    ::setenv("PELLORA_TEST_APP_RECORDS", records_.c_str(), 1);
  }
  void TearDown() override {
    // Whatever still runs this test's program, recorded or not yet: a job left behind would
    // keep the test's output open after it ends.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
      const std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string exe = fs::read_symlink(entry.path() / "exe", ec).string();
      if (exe == executable_ || exe == executable_ + " (deleted)") {
        process::sendSignal(std::stoi(name), SIGKILL);
      }
    }
    ::unsetenv("PELLORA_TEST_APP_RECORDS");
  }

  TempDir dir_;
  std::string bundle_, executable_, records_;
  LoginItems items_{dir_ / "config"};
};

TEST_F(LoginItemsTest, RegisteringWritesTheEntryAndStartsTheJobOnce) {
  EXPECT_EQ(items_.status(kId), Status::NotRegistered);
  EXPECT_EQ(items_.registerItem(kId, bundle_), Status::Enabled);
  EXPECT_EQ(items_.entryPath(kId), dir_ / "config/autostart/com.zavro.Pellora.Service.desktop");
  EXPECT_EQ(items_.status(kId), Status::Enabled);

  ASSERT_TRUE(waitUntil([&] { return records(records_).size() == 1; }));
  const auto [pid, record] = *records(records_).begin();
  EXPECT_NE(record.find("xpc=com.zavro.Pellora.Service\n"), std::string::npos) << record;
  EXPECT_NE(record.find("pgid=" + std::to_string(pid) + "\n"), std::string::npos) << record;
  EXPECT_EQ(items_.runningJob(kId), pid);

  // A running job is not started again.
  EXPECT_EQ(items_.registerItem(kId, bundle_), Status::Enabled);
  EXPECT_EQ(items_.runningJob(kId), pid);
  EXPECT_EQ(records(records_).size(), 1u);

  // Unregistering stops the job it started, and only that one.
  const auto other = process::spawnDetached({executable_});
  ASSERT_GT(other.pid, 0);
  EXPECT_TRUE(items_.unregisterItem(kId));
  EXPECT_FALSE(fs::exists(items_.entryPath(kId)));
  EXPECT_EQ(items_.status(kId), Status::NotRegistered);
  EXPECT_TRUE(waitUntil([&] { return !process::isAlive(pid); }));
  EXPECT_TRUE(process::isAlive(other.pid));
  EXPECT_FALSE(items_.runningJob(kId).has_value());
  EXPECT_TRUE(items_.unregisterItem(kId));  // nothing left to do is no failure
}

TEST_F(LoginItemsTest, AnItemTheUserSwitchedOffRequiresApprovalAndStaysOff) {
  ASSERT_EQ(items_.registerItem(kId, bundle_), Status::Enabled);
  ASSERT_TRUE(waitUntil([&] { return records(records_).size() == 1; }));
  ASSERT_TRUE(items_.unregisterItem(kId));
  ASSERT_TRUE(waitUntil([&] { return !items_.runningJob(kId).has_value(); }));

  ASSERT_EQ(items_.registerItem(kId, bundle_), Status::Enabled);
  ASSERT_TRUE(waitUntil([&] { return items_.runningJob(kId).has_value(); }));
  ::kill(*items_.runningJob(kId), SIGKILL);
  ASSERT_TRUE(waitUntil([&] { return !items_.runningJob(kId).has_value(); }));

  // The desktop's startup-programs switch, as the user flips it.
  std::ifstream in(items_.entryPath(kId));
  std::string text((std::istreambuf_iterator<char>(in)), {});
  auto entry = DesktopEntry::parse(text);
  ASSERT_TRUE(entry.has_value());
  entry->set("X-GNOME-Autostart-enabled", "false");
  std::ofstream(items_.entryPath(kId)) << entry->text();
  EXPECT_EQ(items_.status(kId), Status::RequiresApproval);

  const size_t before = records(records_).size();
  EXPECT_EQ(items_.registerItem(kId, bundle_), Status::RequiresApproval);
  EXPECT_EQ(items_.status(kId), Status::RequiresApproval);
  EXPECT_FALSE(items_.runningJob(kId).has_value());
  EXPECT_EQ(records(records_).size(), before);

  ASSERT_TRUE(items_.setApproved(kId, true));
  EXPECT_EQ(items_.status(kId), Status::Enabled);
  EXPECT_TRUE(waitUntil([&] { return items_.runningJob(kId).has_value(); }));
  ASSERT_TRUE(items_.setApproved(kId, false));
  EXPECT_EQ(items_.status(kId), Status::RequiresApproval);

  fs::remove(executable_);
  EXPECT_EQ(items_.status(kId), Status::NotFound);
  EXPECT_EQ(items_.registerItem(kId, bundle_), Status::NotFound);
  EXPECT_EQ(items_.registerItem("../escape", bundle_), Status::NotRegistered);
  EXPECT_EQ(describe(Status::RequiresApproval), "requires approval");
}

TEST_F(LoginItemsTest, TheDesktopSessionRunsTheEntryAsWritten) {
  const auto gio = process::findExecutable("gio");
  if (!gio) GTEST_SKIP() << "no gio to launch desktop entries with";
  ASSERT_EQ(items_.registerItem(kId, bundle_), Status::Enabled);
  ASSERT_TRUE(waitUntil([&] { return records(records_).size() == 1; }));
  // gio reads the entry as a desktop session does at login.
  process::run({*gio, "launch", items_.entryPath(kId)});
  ASSERT_TRUE(waitUntil([&] { return records(records_).size() == 2; }));
  for (const auto& [pid, record] : records(records_)) {
    EXPECT_NE(record.find("xpc=com.zavro.Pellora.Service\n"), std::string::npos) << record;
    std::error_code ec;
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string(), executable_);
  }
}

}  // namespace
}  // namespace platform::loginitems
