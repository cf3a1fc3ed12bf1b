#include "defaults/SuiteFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "TempDir.h"
#include "Wait.h"

extern char** environ;

namespace platform::defaults {
namespace {

using pellora::testing::TempDir;
using namespace std::chrono_literals;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text;
  std::getline(in, text, '\0');
  return text;
}

// A temporary folder in memory where there is one: the tests below write thousands of times,
// and what they test (rename, locks) does not depend on the disk.
class MemoryTempDir {
 public:
  MemoryTempDir() {
    std::error_code ec;
    std::string pattern = (std::filesystem::is_directory("/dev/shm", ec) ? std::string("/dev/shm") : fallback_.path()) +
                          "/pellora-defaults-XXXXXX";
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~MemoryTempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  TempDir fallback_;
  std::string path_;
};

int countEntries(const std::string& folder, const std::string& prefix) {
  int n = 0;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return 0;
  while (dirent* e = ::readdir(dir)) n += std::string(e->d_name).rfind(prefix, 0) == 0;
  ::closedir(dir);
  return n;
}

TEST(SuiteFile, EveryKindOfValueSurvivesAWriteAndARead) {
  const Dictionary keys{
      {"text", Value("caf\xc3\xa9 \"quoted\"\n")},
      {"integer", Value(-9007199254740993LL)},
      {"real", Value(2.5)},
      {"flag", Value(false)},
      {"list", Value(Value::Array{Value(1), Value("two"), Value(Value::Array{})})},
      {"table", Value(Value::Dictionary{{"inner", Value(true)}, {"n", Value(int64_t{7})}})},
  };
  const auto back = parseSuite(serializeSuite(keys));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, keys);
  EXPECT_EQ(back->at("integer").kind(), Value::Kind::Integer);
  EXPECT_EQ(back->at("real").kind(), Value::Kind::Real);
  EXPECT_FALSE(back->at("flag").integer().has_value());  // a Boolean stays a Boolean
}

TEST(SuiteFile, ReadsOnlyObjectsAndLeavesOutWhatIsNoValue) {
  EXPECT_FALSE(parseSuite("").has_value());
  EXPECT_FALSE(parseSuite("[1,2]").has_value());
  EXPECT_FALSE(parseSuite("{\"a\": 1").has_value());
  EXPECT_FALSE(parseSuite("{\"a\": \"\xff\"}").has_value());  // not UTF-8
  const auto keys = parseSuite(R"({"gone": null, "list": [1, null, 2], "big": 18446744073709551615})");
  ASSERT_TRUE(keys.has_value());
  EXPECT_EQ(keys->count("gone"), 0u);
  EXPECT_EQ(keys->at("list"), Value(Value::Array{Value(1), Value(2)}));
  EXPECT_EQ(keys->at("big").kind(), Value::Kind::Real);

  // Nesting past the limit is cut off where it passes it, and the rest is kept.
  std::string deep = "{\"deep\": ";
  for (int i = 0; i < 100; ++i) deep += "[";
  for (int i = 0; i < 100; ++i) deep += "]";
  deep += ", \"kept\": 1}";
  const auto cut = parseSuite(deep);
  ASSERT_TRUE(cut.has_value());
  EXPECT_EQ(cut->at("kept"), Value(1));
  int depth = 0;
  for (const Value* v = &cut->at("deep"); v->array() && !v->array()->empty(); v = &v->array()->front()) ++depth;
  EXPECT_EQ(depth, kMaxDepth - 2);
}

TEST(SuiteFile, UpdatesChangeOnlyTheirKeysAndKeepAFileThatCannotBeRead) {
  TempDir dir;
  const SuiteFile file(dir / "defaults/suite.json");
  EXPECT_EQ(file.read(), Dictionary{});  // no file yet: no keys
  ASSERT_TRUE(file.update({{"a", Value(1)}, {"b", Value("x")}}));
  ASSERT_TRUE(file.update({{"b", std::nullopt}, {"c", Value(true)}}));
  EXPECT_EQ(file.read(), (Dictionary{{"a", Value(1)}, {"c", Value(true)}}));

  struct stat st {};
  ASSERT_EQ(::stat((dir / "defaults").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(file.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // What someone else left behind is never thrown away without a trace.
  dir.write("defaults/suite.json", "{ torn");
  EXPECT_FALSE(file.read().has_value());
  ASSERT_TRUE(file.update({{"d", Value(2)}}));
  EXPECT_EQ(file.read(), (Dictionary{{"d", Value(2)}}));
  EXPECT_EQ(readFile(dir / "defaults/suite.json.corrupt"), "{ torn");

  // Temporary files of killed writers go with the next write.
  dir.write("defaults/suite.json.tmp.AbCdEf", "{\"half\": ");
  ASSERT_TRUE(file.update({{"e", Value(3)}}));
  EXPECT_EQ(countEntries(dir / "defaults", "suite.json.tmp."), 0);
}

// The writer program, with the test's configuration folder.
pid_t startWriter(const std::string& config, const std::vector<std::string>& args) {
  std::vector<std::string> argv{PELLORA_DEFAULTS_WRITER};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargs;
  for (auto& a : argv) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  std::vector<std::string> envText{"XDG_CONFIG_HOME=" + config, "HOME=" + config};
  std::vector<char*> env;
  for (auto& e : envText) env.push_back(e.data());
  env.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, cargs[0], nullptr, nullptr, cargs.data(), env.data()) != 0) pid = -1;
  return pid;
}

int waitStatus(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SuiteFile, TwoProcessesWritingDifferentKeysAtOnceLoseNeither) {
  MemoryTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const pid_t a = startWriter(dir.path(), {"shared", "keys", "a", "150"});
  const pid_t b = startWriter(dir.path(), {"shared", "keys", "b", "150"});
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_EQ(waitStatus(a), 0);
  EXPECT_EQ(waitStatus(b), 0);
  const auto keys = SuiteFile(dir / "defaults/shared.json").read();
  ASSERT_TRUE(keys.has_value());
  EXPECT_EQ(keys->size(), 300u);
  for (int i = 0; i < 150; ++i) {
    EXPECT_EQ(keys->count("a" + std::to_string(i)), 1u) << i;
    EXPECT_EQ(keys->count("b" + std::to_string(i)), 1u) << i;
  }
}

// A writer process that sets counter to 1, 2, ... and reports each write that returned on out.
pid_t forkWriter(const SuiteFile& file, int& out) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    for (int64_t i = 1;; ++i) {
      if (!file.update({{"counter", Value(i)}})) ::_exit(1);
      if (::write(fds[1], &i, sizeof i) != sizeof i) ::_exit(1);
    }
  }
  ::close(fds[1]);
  out = fds[0];
  return pid;
}

TEST(SuiteFile, WritersKilledAtAnyMomentLeaveTheOldOrTheNewFile) {
  MemoryTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const SuiteFile file(dir / "defaults/crash.json");
  // A payload large enough that a write takes a while, which a torn file would lose.
  Value::Array payload;
  for (int i = 0; i < 400; ++i) payload.emplace_back("entry number " + std::to_string(i));
  const Value seed(payload);
  ASSERT_TRUE(file.update({{"seed", seed}}));

  const unsigned randomSeed = std::random_device{}();
  std::mt19937 random(randomSeed);
  // Kills spread over a whole write, however long one takes in this build and on this machine
  // (a sanitizer build spends longer preparing the text before the temporary file exists).
  const auto timed = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(file.update({{"counter", Value(int64_t{i})}}));
  const auto perWrite = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - timed) / 20;
  std::uniform_int_distribution<int> delayMicros(0, std::max(1500, static_cast<int>(2 * perWrite.count())));
  int killedMidWrite = 0;
  for (int round = 0; round < 1000; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + ", random seed " + std::to_string(randomSeed));
    int out = -1;
    const pid_t writer = forkWriter(file, out);
    ASSERT_GT(writer, 0);
    // Once the first write has returned the writer is in its loop; the kill comes at a random
    // moment of it (a spin, so that the moment is not rounded to a scheduler tick).
    int64_t acknowledged = 0;
    ASSERT_EQ(::read(out, &acknowledged, sizeof acknowledged), static_cast<ssize_t>(sizeof acknowledged));
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(delayMicros(random));
    while (std::chrono::steady_clock::now() < until) {
    }
    ::kill(writer, SIGKILL);
    waitStatus(writer);
    for (int64_t n = 0; ::read(out, &n, sizeof n) == static_cast<ssize_t>(sizeof n);) acknowledged = n;
    ::close(out);

    killedMidWrite += countEntries(dir / "defaults", "crash.json.tmp.") > 0;
    const auto keys = file.read();
    ASSERT_TRUE(keys.has_value()) << readFile(file.path());
    ASSERT_EQ(keys->count("seed"), 1u);
    EXPECT_EQ(keys->at("seed"), seed);
    ASSERT_EQ(keys->count("counter"), 1u);
    // A write that returned is on disk.
    EXPECT_GE(keys->at("counter").integer().value_or(0), acknowledged);
  }
  // The kills did land in the middle of writes (their temporary files were left).
  EXPECT_GT(killedMidWrite, 0);
  std::printf("writers killed in the middle of a write: %d of 1000\n", killedMidWrite);
}

}  // namespace
}  // namespace platform::defaults
