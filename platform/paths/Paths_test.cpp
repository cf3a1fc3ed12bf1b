#include "paths/Paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace platform::paths {
namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    if (value) ::setenv(name, value, 1); else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1); else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(Paths, FoldersFollowTheEnvironment) {
  ScopedEnv home("HOME", "/home/tester");
  ScopedEnv data("XDG_DATA_HOME", nullptr);
  ScopedEnv config("XDG_CONFIG_HOME", nullptr);
  ScopedEnv apps("PELLORA_APPLICATIONS_DIR", nullptr);
  EXPECT_EQ(homeDirectory(), "/home/tester");
  EXPECT_EQ(applicationSupportDirectory(), "/home/tester/.local/share");
  EXPECT_EQ(configDirectory(), "/home/tester/.config");
  EXPECT_EQ(applicationsDirectory(), "/Applications");
  ScopedEnv data2("XDG_DATA_HOME", "/data");
  ScopedEnv config2("XDG_CONFIG_HOME", "/config");
  ScopedEnv apps2("PELLORA_APPLICATIONS_DIR", "/opt/apps");
  EXPECT_EQ(applicationSupportDirectory(), "/data");
  EXPECT_EQ(configDirectory(), "/config");
  EXPECT_EQ(applicationsDirectory(), "/opt/apps");
}

TEST(Paths, UserDatabaseHomeIgnoresHome) {
  ScopedEnv home("HOME", "/somewhere/else");
  ScopedEnv forced("PELLORA_USER_DB_HOME", nullptr);
  EXPECT_NE(userDatabaseHome(), "/somewhere/else");
  EXPECT_FALSE(userDatabaseHome().empty());
  ScopedEnv forced2("PELLORA_USER_DB_HOME", "/tmp/test-home");
  EXPECT_EQ(userDatabaseHome(), "/tmp/test-home");
}

}  // namespace
}  // namespace platform::paths
