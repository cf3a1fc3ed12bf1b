#include "defaults/UserDefaults.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "TempDir.h"
#include "Wait.h"
#include "dispatch/Queue.h"

extern char** environ;

namespace platform::defaults {
namespace {

using pellora::testing::TempDir;
using pellora::testing::waitUntil;

// Every suite of a test lives in a temporary configuration folder with its own managed folder.
class UserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
    ::setenv("PELLORA_MANAGED_DEFAULTS_DIR", (dir_ / "managed").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("PELLORA_MANAGED_DEFAULTS_DIR");
  }
  TempDir dir_;
};

struct Change {
  std::string key;
  std::optional<Value> oldValue;
  std::optional<Value> newValue;
};

// Collects what an observer is told.
class Recorder {
 public:
  UserDefaults::Observer observer() {
    return [this](const std::string& key, const std::optional<Value>& o, const std::optional<Value>& n) {
      std::lock_guard lock(mutex_);
      changes_.push_back({key, o, n});
    };
  }
  std::vector<Change> changes() {
    std::lock_guard lock(mutex_);
    return changes_;
  }
  bool waitFor(size_t count) {
    return waitUntil([&] { return changes().size() >= count; });
  }

 private:
  std::mutex mutex_;
  std::vector<Change> changes_;
};

int runWriter(const std::vector<std::string>& args) {
  std::vector<std::string> argv{PELLORA_DEFAULTS_WRITER};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargs;
  for (auto& a : argv) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, cargs[0], nullptr, nullptr, cargs.data(), environ) != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(UserDefaultsTest, TypedValuesAreSharedThroughTheSuiteFile) {
  const auto writer = UserDefaults::suite("group.test");
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(writer->filePath(), dir_ / "defaults/group.test.json");
  ASSERT_TRUE(writer->set("text", Value("1")));
  ASSERT_TRUE(writer->set("count", Value(3)));
  ASSERT_TRUE(writer->set("flag", Value(true)));
  ASSERT_TRUE(writer->set("list", Value(Value::Array{Value("a")})));
  ASSERT_TRUE(writer->set("table", Value(Value::Dictionary{{"k", Value(1.5)}})));

  const auto reader = UserDefaults::suite("group.test");
  EXPECT_EQ(reader->string("text"), "1");
  EXPECT_EQ(reader->integer("count"), 3);
  EXPECT_EQ(reader->boolean("flag"), true);
  EXPECT_EQ(reader->array("list"), (Value::Array{Value("a")}));
  EXPECT_EQ(reader->dictionary("table"), (Value::Dictionary{{"k", Value(1.5)}}));
  // A value of another kind is not converted.
  EXPECT_FALSE(reader->integer("text").has_value());
  EXPECT_FALSE(reader->string("count").has_value());
  EXPECT_FALSE(reader->boolean("count").has_value());
  EXPECT_EQ(reader->dictionaryRepresentation().size(), 5u);

  ASSERT_TRUE(reader->removeObject("text"));
  EXPECT_FALSE(writer->object("text").has_value());
  EXPECT_TRUE(writer->synchronize());

  for (const std::string& bad : std::vector<std::string>{"", ".", "..", ".hidden", "a/b", std::string("a\0b", 3)}) {
    EXPECT_EQ(UserDefaults::suite(bad), nullptr) << bad;
  }
}

TEST_F(UserDefaultsTest, ManagedValuesWinAndAreReportedAsForced) {
  dir_.write("managed/group.test.json", R"({"PLEnabled": 0})");
  const auto suite = UserDefaults::suite("group.test");
  ASSERT_TRUE(suite->set("PLEnabled", Value("1")));
  ASSERT_TRUE(suite->set("other", Value("mine")));
  EXPECT_TRUE(suite->objectIsForced("PLEnabled"));
  EXPECT_FALSE(suite->objectIsForced("other"));
  EXPECT_EQ(suite->object("PLEnabled"), Value(0));
  EXPECT_EQ(suite->string("other"), "mine");
  EXPECT_EQ(suite->dictionaryRepresentation().at("PLEnabled"), Value(0));
  // The suite's own value is still there, under the managed one.
  EXPECT_EQ(SuiteFile(suite->filePath()).read()->at("PLEnabled"), Value("1"));
}

TEST_F(UserDefaultsTest, ObserversHearOfChangesFromThisAndOtherProcesses) {
  const auto suite = UserDefaults::suite("group.test");
  ASSERT_TRUE(suite->set("PLEnabled", Value("1")));
  Recorder recorder;
  const auto id = suite->addObserver("PLEnabled", recorder.observer());

  ASSERT_EQ(runWriter({"group.test", "set", "PLEnabled", "0"}), 0);
  ASSERT_TRUE(recorder.waitFor(1));
  // Writes of other keys, and writes that change nothing, tell nothing.
  ASSERT_EQ(runWriter({"group.test", "set", "unrelated", "x"}), 0);
  ASSERT_TRUE(suite->set("PLEnabled", Value("0")));
  ASSERT_TRUE(suite->set("PLEnabled", Value(true)));
  ASSERT_TRUE(recorder.waitFor(2));
  ASSERT_EQ(runWriter({"group.test", "remove", "PLEnabled"}), 0);
  ASSERT_TRUE(recorder.waitFor(3));

  const auto changes = recorder.changes();
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[0].key, "PLEnabled");
  EXPECT_EQ(changes[0].oldValue, Value("1"));
  EXPECT_EQ(changes[0].newValue, Value("0"));
  EXPECT_EQ(changes[1].oldValue, Value("0"));
  EXPECT_EQ(changes[1].newValue, Value(true));
  EXPECT_EQ(changes[2].oldValue, Value(true));
  EXPECT_FALSE(changes[2].newValue.has_value());

  suite->removeObserver(id);
  ASSERT_EQ(runWriter({"group.test", "set", "PLEnabled", "1"}), 0);
  // Another observer added after it hears this change; the removed one must not.
  Recorder later;
  suite->addObserver("PLEnabled", later.observer(), dispatch::globalQueue());
  ASSERT_TRUE(suite->set("PLEnabled", Value("2")));
  ASSERT_TRUE(later.waitFor(1));
  EXPECT_TRUE(suite->synchronize());
  EXPECT_EQ(recorder.changes().size(), 3u);
}

TEST_F(UserDefaultsTest, ObserversHearWhenAManagedValueArrives) {
  dir_.mkdir("managed");
  const auto suite = UserDefaults::suite("group.test");
  ASSERT_TRUE(suite->set("PLEnabled", Value("1")));
  Recorder recorder;
  suite->addObserver("PLEnabled", recorder.observer());
  dir_.write("managed/group.test.json", R"({"PLEnabled": false})");
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(recorder.changes()[0].newValue, Value(false));
}

TEST_F(UserDefaultsTest, SynchronizeReportsAFileThatCannotBeRead) {
  const auto suite = UserDefaults::suite("group.test");
  dir_.mkdir("defaults/group.test.json");  // a folder where the file should be
  EXPECT_FALSE(suite->set("k", Value(1)));
  EXPECT_FALSE(suite->synchronize());
  EXPECT_FALSE(suite->object("k").has_value());
}

}  // namespace
}  // namespace platform::defaults
