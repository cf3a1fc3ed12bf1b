#include "log/Log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>

#include "log/Capture.h"
#include "log/Journal.h"

namespace platform::log {
namespace {

using namespace std::chrono_literals;

TEST(Log, RecordsCarrySubsystemCategoryAndLevel) {
  Capture capture;
  Log shell("com.zavro.Pellora", "Shell");
  shell.infof("Monitoring path:%s", "/Volumes/share");
  shell.errorf("Unable to start listen to port:%d.", 4242);
  classicf("%s. %s", "ZAVRO_LOG", "Connected");
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].subsystem, "com.zavro.Pellora");
  EXPECT_EQ(records[0].category, "Shell");
  EXPECT_EQ(records[0].level, Level::Default);
  EXPECT_EQ(records[0].message, "Monitoring path:/Volumes/share");
  EXPECT_EQ(records[1].level, Level::Error);
  EXPECT_EQ(records[1].message, "Unable to start listen to port:4242.");
  EXPECT_EQ(records[2].subsystem, "");
  EXPECT_EQ(records[2].message, "ZAVRO_LOG. Connected");
}

TEST(Log, CapturesSeeOnlyWhatCameWhileTheyLived) {
  Log log("s", "c");
  log.info("before");
  Capture capture;
  {
    Capture inner;
    log.info("both");
    EXPECT_EQ(inner.messages(), std::vector<std::string>{"both"});
  }
  log.info("outer only");
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{"both", "outer only"}));
  EXPECT_EQ(capture.count("o"), 2u);
}

TEST(Log, WaitForSeesRecordsFromOtherThreads) {
  Capture capture;
  std::thread([] { Log("s", "c").error("from a thread"); }).join();
  EXPECT_TRUE(capture.waitFor("from a thread", 1s));
  EXPECT_FALSE(capture.waitFor("never logged", 10ms));
}

TEST(Log, JournalEntriesCarryTheCallersSubsystemUnderNeutralNames) {
  EXPECT_EQ(journalFields({"com.example.Tool", "Net", Level::Error, "a=b\nsecond line"}),
            (std::vector<std::string>{"MESSAGE=a=b\nsecond line", "PRIORITY=3",
                                      "LOG_SUBSYSTEM=com.example.Tool", "LOG_CATEGORY=Net"}));
  // Classic lines have neither subsystem nor category.
  EXPECT_EQ(journalFields({"", "", Level::Default, "plain"}),
            (std::vector<std::string>{"MESSAGE=plain", "PRIORITY=5"}));
}

// A datagram socket bound where a test points its journal writer.
class FakeJournal {
 public:
  FakeJournal() {
    char folder[] = "/tmp/pellora-journal-XXXXXX";
    folder_ = ::mkdtemp(folder);
    path_ = folder_ + "/socket";
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path_.c_str());
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~FakeJournal() {
    ::close(fd_);
    std::filesystem::remove_all(folder_);
  }
  const std::string& path() const { return path_; }
  bool bound() const { return bound_; }

  // The next entry, read from the datagram or from the memory file it carries.
  std::optional<std::string> receive() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) return std::nullopt;
    std::string data(1 << 16, '\0');
    iovec part{data.data(), data.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd_, &message, MSG_CMSG_CLOEXEC);
    if (n < 0) return std::nullopt;
    data.resize(static_cast<size_t>(n));
    const cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (!header) return data;
    int file = -1;
    std::memcpy(&file, CMSG_DATA(header), sizeof file);
    // The journal takes only a file that can no longer change.
    sealed = (::fcntl(file, F_GET_SEALS) & F_SEAL_WRITE) != 0;
    std::string content;
    char chunk[65536];
    for (ssize_t got;
         (got = ::pread(file, chunk, sizeof chunk, static_cast<off_t>(content.size()))) > 0;) {
      content.append(chunk, static_cast<size_t>(got));
    }
    ::close(file);
    return n == 0 ? std::optional(content) : std::nullopt;
  }

  bool sealed = false;

 private:
  std::string folder_, path_;
  int fd_ = -1;
  bool bound_ = false;
};

std::string littleEndian64(uint64_t value) {
  std::string out;
  for (int i = 0; i < 8; ++i, value >>= 8) out += static_cast<char>(value & 0xFF);
  return out;
}

TEST(Journal, EntriesFollowTheNativeProtocol) {
  FakeJournal journal;
  ASSERT_TRUE(journal.bound());
  JournalWriter writer(journal.path());
  ASSERT_TRUE(writer.write({"com.zavro.Pellora", "Shell", Level::Error, "Unable to bind."}));
  EXPECT_EQ(journal.receive(),
            "MESSAGE=Unable to bind.\nPRIORITY=3\n"
            "LOG_SUBSYSTEM=com.zavro.Pellora\nLOG_CATEGORY=Shell\n");
  // A value with a line break goes with its length, so that the break stays part of it.
  ASSERT_TRUE(writer.write({"", "", Level::Default, "first\nsecond=2"}));
  EXPECT_EQ(journal.receive(), "MESSAGE\n" + littleEndian64(14) + "first\nsecond=2\nPRIORITY=5\n");
}

TEST(Journal, EntryTooBigForADatagramGoesAsASealedMemoryFile) {
  FakeJournal journal;
  ASSERT_TRUE(journal.bound());
  JournalWriter writer(journal.path());
  const std::string message(8 << 20, 'm');
  ASSERT_TRUE(writer.write({"", "", Level::Default, message}));
  EXPECT_EQ(journal.receive(), "MESSAGE=" + message + "\nPRIORITY=5\n");
  EXPECT_TRUE(journal.sealed);
}

TEST(Journal, WriterReportsAJournalThatIsNotThere) {
  std::optional<FakeJournal> gone;
  gone.emplace();
  const std::string path = gone->path();
  gone.reset();
  JournalWriter writer(path);
  EXPECT_FALSE(writer.write({"", "", Level::Default, "lost?"}));  // the caller writes it elsewhere
}

}  // namespace
}  // namespace platform::log
