#include "PortFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TempDir.h"

namespace {

using pellora::testing::TempDir;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode;
}

// Sets the umask for one test.
class Umask {
 public:
  explicit Umask(mode_t mask) : saved_(::umask(mask)) {}
  ~Umask() { ::umask(saved_); }

 private:
  mode_t saved_;
};

TEST(PortFile, WritesOneLineThatReadsBack) {
  TempDir home;
  const PortFile file(home.path());
  EXPECT_EQ(file.path(), home / ".zavroPellora/port");
  ASSERT_EQ(file.write(40123, "{AB}"), PortFile::WriteResult::Written);
  EXPECT_EQ(readFile(file.path()), "40123,{AB}\n");
  const auto content = file.read();
  ASSERT_TRUE(content.has_value());
  EXPECT_EQ(content->port, 40123);
  EXPECT_EQ(content->token, "{AB}\n");
  // A new start replaces the file.
  ASSERT_EQ(file.write(2000, "{CD}"), PortFile::WriteResult::Written);
  EXPECT_EQ(readFile(file.path()), "2000,{CD}\n");
  EXPECT_TRUE(file.remove());
  EXPECT_FALSE(file.read().has_value());
  EXPECT_TRUE(file.remove());  // nothing left to remove is fine
}

TEST(PortFile, KeyStaysTheUsersWhateverTheUmask) {
  Umask open(0);
  TempDir home;
  const PortFile file(home.path());
  ASSERT_EQ(file.write(3000, "{K}"), PortFile::WriteResult::Written);
  EXPECT_EQ(modeOf(file.path()) & 07777, 0600u);
  EXPECT_EQ(modeOf(file.folder()) & 07777, 0700u);

  // A folder that exists with looser permissions is tightened when it is the user's.
  ::chmod(file.folder().c_str(), 0755);
  ::chmod(file.path().c_str(), 0644);
  ASSERT_EQ(file.write(3001, "{K}"), PortFile::WriteResult::Written);
  EXPECT_EQ(modeOf(file.folder()) & 07777, 0700u);
  EXPECT_EQ(modeOf(file.path()) & 07777, 0600u);

  Umask closed(0777);
  ASSERT_EQ(file.write(3002, "{K}"), PortFile::WriteResult::Written);
  EXPECT_EQ(modeOf(file.path()) & 07777, 0600u);
  EXPECT_EQ(readFile(file.path()), "3002,{K}\n");
}

TEST(PortFile, SymbolicLinksAreNeverWrittenThrough) {
  TempDir home;
  const PortFile file(home.path());
  const std::string elsewhere = home.mkdir("elsewhere");
  std::filesystem::create_directories(file.folder());
  // A dangling link: following it would create a file the user did not mean.
  ASSERT_EQ(::symlink((elsewhere + "/planted").c_str(), file.path().c_str()), 0);
  ASSERT_EQ(file.write(4000, "{K}"), PortFile::WriteResult::Written);
  EXPECT_FALSE(std::filesystem::exists(elsewhere + "/planted"));
  EXPECT_TRUE(S_ISREG(modeOf(file.path())));
  // A link to an existing file: that file keeps its content.
  const std::string target = home.write("elsewhere/target", "precious");
  ASSERT_EQ(::unlink(file.path().c_str()), 0);
  ASSERT_EQ(::symlink(target.c_str(), file.path().c_str()), 0);
  ASSERT_EQ(file.write(4001, "{K}"), PortFile::WriteResult::Written);
  EXPECT_EQ(readFile(target), "precious");
  EXPECT_EQ(readFile(file.path()), "4001,{K}\n");
}

TEST(PortFile, FolderThatIsAFileFailsTheWrite) {
  TempDir home;
  home.write(".zavroPellora", "not a folder");
  EXPECT_EQ(PortFile(home.path()).write(5000, "{K}"), PortFile::WriteResult::FolderFailed);
}

TEST(PortFile, ParseTakesWhatTheExtensionNeedsAndRefusesTheRest) {
  const auto five = PortFile::parse("65533,{0F2C8D2E-3B7A-4C55-9E1D-6A7B8C9D0E1F}\n");
  ASSERT_TRUE(five.has_value());
  EXPECT_EQ(five->port, 65533);
  EXPECT_EQ(five->token.size(), 39u);
  EXPECT_EQ(five->token.back(), '\n');
  EXPECT_EQ(PortFile::parse(" \t42x,key,rest")->port, 42);
  EXPECT_EQ(PortFile::parse(" \t42x,key,rest")->token, "key");
  for (const char* unready : {"", "12345", "12345\n", "0,{k}\n", "-5,{k}\n", "abc,{k}\n",
                              "65536,{k}\n", "99999999999999999999,{k}\n", "1234,", "1234,,x"}) {
    EXPECT_FALSE(PortFile::parse(unready).has_value()) << unready;
  }
}

TEST(PortFile, OnlyARegularFileIsRead) {
  TempDir home;
  const PortFile file(home.path());
  EXPECT_FALSE(file.read().has_value());
  home.mkdir(".zavroPellora/port");
  EXPECT_FALSE(file.read().has_value());
  std::filesystem::remove(file.path());
  // A FIFO would block an ordinary open until someone writes it.
  ASSERT_EQ(::mkfifo(file.path().c_str(), 0600), 0);
  EXPECT_FALSE(file.read().has_value());
  std::filesystem::remove(file.path());
  // An oversized file is read no further than a port file can be long.
  home.write(".zavroPellora/port", "7000,{K}\n" + std::string(1 << 20, 'x'));
  EXPECT_EQ(file.read()->port, 7000);
}

}  // namespace
