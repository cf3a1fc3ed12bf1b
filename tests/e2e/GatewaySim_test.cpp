// The simulated gateway share, mounted with FUSE (as root), seen through the platform layer:
// the mount table, the markers, downloads through the attribute and through reads, faults,
// counters, inotify and mount notifications.
#include "GatewaySim.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "Wait.h"
#include "dispatch/RunLoop.h"
#include "mounts/MountNotifier.h"
#include "mounts/Mounts.h"
#include "xattr/Xattr.h"

namespace pellora::testing {
namespace {

namespace fs = std::filesystem;
namespace xattr = platform::xattr;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A read of an attribute: the value, or the errno.
struct AttrRead {
  std::string value;
  int error = 0;
};

AttrRead readAttr(const std::string& path, const std::string& name) {
  char buf[256] = {};
  errno = 0;
  const ssize_t n = xattr::get(path, name, buf, sizeof buf, 0, 0);
  if (n < 0) return {"", errno};
  return {std::string(buf, static_cast<size_t>(n)), 0};
}

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Content that differs from byte to byte, so that a misplaced chunk shows.
std::string patterned(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

uint64_t count(const nlohmann::json& counters, const char* kind, const std::string& key) {
  if (!counters.is_object() || !counters.contains(kind)) return 0;
  return counters[kind].value(key, uint64_t{0});
}

class GatewaySimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting the simulated gateway (FUSE) needs root";
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is missing";
  }
  // Every simulator still running must unmount and exit cleanly: a crash or a sanitizer report
  // in it fails the test.
  void TearDown() override {
    for (auto& sim : sims_) {
      if (sim->pid() > 0) {
        EXPECT_TRUE(sim->unmount()) << "gateway-sim log:\n" << sim->log();
      }
    }
  }
  GatewaySim& makeSim(GatewaySim::Options options = {}) {
    sims_.push_back(std::make_unique<GatewaySim>(std::move(options)));
    return *sims_.back();
  }

 private:
  std::vector<std::unique_ptr<GatewaySim>> sims_;
};

TEST_F(GatewaySimTest, MountShowsAsAnSmbShareWithItsSource) {
  auto& sim = makeSim();
  ASSERT_TRUE(sim.mount());
  const auto mounts = platform::mounts::listMounts();
  ASSERT_TRUE(mounts.has_value());
  const auto it = std::find_if(mounts->begin(), mounts->end(),
                               [&](const auto& m) { return m.mountPoint == sim.mountPoint(); });
  ASSERT_NE(it, mounts->end());
  EXPECT_EQ(it->type, "smbfs");
  EXPECT_EQ(it->fsType, "fuse.smbfs");
  EXPECT_EQ(it->source, "//gateway/share");
  const auto urls = platform::mounts::mountedVolumeURLs();
  EXPECT_NE(std::find(urls.begin(), urls.end(), sim.mountPoint()), urls.end());
}

TEST_F(GatewaySimTest, SourceIsConfigurable) {
  GatewaySim::Options options;
  options.source = "//nas.example/team projects";
  auto& sim = makeSim(options);
  ASSERT_TRUE(sim.mount());
  const auto mounts = platform::mounts::listMounts();
  ASSERT_TRUE(mounts.has_value());
  const auto it = std::find_if(mounts->begin(), mounts->end(),
                               [&](const auto& m) { return m.mountPoint == sim.mountPoint(); });
  ASSERT_NE(it, mounts->end());
  EXPECT_EQ(it->source, "//nas.example/team projects");
}

TEST_F(GatewaySimTest, ShareRootCarriesTheShareMarker) {
  auto& sim = makeSim();
  ASSERT_TRUE(sim.mount());
  const auto share = readAttr(sim.mountPoint(), "is.zavro.share");
  EXPECT_EQ(share.error, 0);
  EXPECT_EQ(share.value, "ZAVRO");

  GatewaySim::Options options;
  options.shareMarker = false;
  auto& plain = makeSim(options);
  ASSERT_TRUE(plain.mount());
  EXPECT_EQ(readAttr(plain.mountPoint(), "is.zavro.share").error, xattr::kNoAttr);
}

TEST_F(GatewaySimTest, StubsShowTheirFullSizeAndTheMarker) {
  auto& sim = makeSim();
  sim.addStub("docs/report.pdf", patterned(10000));
  sim.addOnline("docs/notes.txt", "hello");
  ASSERT_TRUE(sim.mount());
  sim.addStub("docs/later.bin", patterned(777));  // added while mounted

  struct stat st;
  ASSERT_EQ(::stat(sim.path("docs/report.pdf").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 10000);
  ASSERT_EQ(::stat(sim.path("docs/later.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 777);
  ASSERT_EQ(::stat(sim.path("docs/notes.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 5);
  EXPECT_EQ(readAttr(sim.path("docs/report.pdf"), "is.zavro.stub").value, "ZAVRO");
  EXPECT_EQ(readAttr(sim.path("docs/later.bin"), "is.zavro.stub").value, "ZAVRO");
  EXPECT_EQ(readAttr(sim.path("docs/notes.txt"), "is.zavro.stub").error, xattr::kNoAttr);
  EXPECT_EQ(fs::file_size(sim.backing() + "/docs/report.pdf"), 0u);  // nothing local yet
}

TEST_F(GatewaySimTest, OtherAttributeValuesAreServedAsWritten) {
  auto& sim = makeSim();
  sim.addOnline("x.txt", "x");
  sim.addOnline("y.txt", "y");
  ASSERT_TRUE(sim.setAttribute("x.txt", "is.zavro.stub", "ZAVROX"));
  ASSERT_TRUE(sim.mount());
  EXPECT_EQ(readAttr(sim.path("x.txt"), "is.zavro.stub").value, "ZAVROX");

  ASSERT_EQ(xattr::set(sim.path("y.txt"), "is.zavro.stub", "zavro", 5, 0, 0), 0);
  EXPECT_EQ(readAttr(sim.path("y.txt"), "is.zavro.stub").value, "zavro");
  char names[256] = {};
  const ssize_t n = ::listxattr(sim.path("y.txt").c_str(), names, sizeof names);
  ASSERT_GT(n, 0);
  EXPECT_NE(std::string(names, static_cast<size_t>(n)).find("user.is.zavro.stub"),
            std::string::npos);
  ASSERT_EQ(xattr::remove(sim.path("y.txt"), "is.zavro.stub", 0), 0);
  EXPECT_EQ(readAttr(sim.path("y.txt"), "is.zavro.stub").error, xattr::kNoAttr);
}

TEST_F(GatewaySimTest, DownloadAttributeBringsAStubOnlineOncePerRead) {
  auto& sim = makeSim();
  const std::string content = patterned(300 * 1024 + 17);
  sim.addStub("f.bin", content);
  ASSERT_TRUE(sim.mount());

  // The size query of the platform call answers the length and downloads nothing.
  EXPECT_EQ(xattr::get(sim.path("f.bin"), "zavro.download.file", nullptr, 0, 0, 0), 1);
  EXPECT_EQ(count(sim.counters(), "downloads", "f.bin"), 0u);
  EXPECT_EQ(readAttr(sim.path("f.bin"), "is.zavro.stub").value, "ZAVRO");

  const auto answer = readAttr(sim.path("f.bin"), "zavro.download.file");
  EXPECT_EQ(answer.error, 0);
  EXPECT_EQ(answer.value, "0");
  EXPECT_EQ(readAttr(sim.path("f.bin"), "is.zavro.stub").error, xattr::kNoAttr);
  EXPECT_EQ(contentOf(sim.backing() + "/f.bin"), content);
  auto counters = sim.counters();
  EXPECT_EQ(count(counters, "downloadReads", "f.bin"), 1u);
  EXPECT_EQ(count(counters, "downloads", "f.bin"), 1u);
  EXPECT_EQ(count(counters, "contentReads", "f.bin"), 0u);

  EXPECT_EQ(contentOf(sim.path("f.bin")), content);
  EXPECT_EQ(readAttr(sim.path("f.bin"), "zavro.download.file").value, "7");  // online now
  counters = sim.counters();
  EXPECT_EQ(count(counters, "downloadReads", "f.bin"), 2u);
  EXPECT_EQ(count(counters, "downloads", "f.bin"), 1u);
  EXPECT_GE(count(counters, "contentReads", "f.bin"), 1u);
}

TEST_F(GatewaySimTest, OnlineFilesAnswerSeven) {
  auto& sim = makeSim();
  sim.addOnline("here.txt", "local content");
  sim.addFolder("folder");
  ASSERT_TRUE(sim.mount());
  EXPECT_EQ(readAttr(sim.path("here.txt"), "zavro.download.file").value, "7");
  EXPECT_EQ(readAttr(sim.path("folder"), "zavro.download.file").value, "7");
  EXPECT_EQ(contentOf(sim.path("here.txt")), "local content");
  EXPECT_EQ(count(sim.counters(), "downloads", "here.txt"), 0u);
}

TEST_F(GatewaySimTest, FailingFilesAnswerTheirDigitAndStayStubs) {
  auto& sim = makeSim();
  sim.addStub("sub/g.bin", "cloud content");
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(sim.fail("sub/g.bin", 4));
  EXPECT_EQ(readAttr(sim.path("sub/g.bin"), "zavro.download.file").value, "4");
  EXPECT_EQ(readAttr(sim.path("sub/g.bin"), "is.zavro.stub").value, "ZAVRO");
  EXPECT_EQ(fs::file_size(sim.backing() + "/sub/g.bin"), 0u);
  // A content read cannot bring it online either.
  std::ifstream in(sim.path("sub/g.bin"), std::ios::binary);
  char c;
  EXPECT_FALSE(in.read(&c, 1));
  EXPECT_GE(count(sim.counters(), "errors", "EIO"), 1u);

  ASSERT_TRUE(sim.fail("sub/g.bin", 9));
  EXPECT_EQ(readAttr(sim.path("sub/g.bin"), "zavro.download.file").value, "9");
  ASSERT_TRUE(sim.fail("sub/g.bin", 0));
  EXPECT_EQ(readAttr(sim.path("sub/g.bin"), "zavro.download.file").value, "0");
  EXPECT_EQ(contentOf(sim.path("sub/g.bin")), "cloud content");
  EXPECT_FALSE(sim.fail("sub/g.bin", 12));
}

TEST_F(GatewaySimTest, ContentReadBringsAStubOnline) {
  auto& sim = makeSim();
  const std::string content = patterned(1 << 20);
  sim.addStub("movie.mov", content);
  ASSERT_TRUE(sim.mount());
  EXPECT_EQ(contentOf(sim.path("movie.mov")), content);
  EXPECT_EQ(readAttr(sim.path("movie.mov"), "is.zavro.stub").error, xattr::kNoAttr);
  EXPECT_EQ(contentOf(sim.backing() + "/movie.mov"), content);
  const auto counters = sim.counters();
  EXPECT_GE(count(counters, "contentReads", "movie.mov"), 1u);
  EXPECT_EQ(count(counters, "downloadReads", "movie.mov"), 0u);
  EXPECT_EQ(count(counters, "downloads", "movie.mov"), 1u);
}

TEST_F(GatewaySimTest, OverwritingAStubMakesItALocalFile) {
  auto& sim = makeSim();
  sim.addStub("w.txt", "cloud");
  ASSERT_TRUE(sim.mount());
  std::ofstream(sim.path("w.txt"), std::ios::binary | std::ios::trunc) << "mine";
  EXPECT_EQ(readAttr(sim.path("w.txt"), "is.zavro.stub").error, xattr::kNoAttr);
  EXPECT_EQ(contentOf(sim.path("w.txt")), "mine");
  EXPECT_EQ(count(sim.counters(), "downloads", "w.txt"), 0u);
}

TEST_F(GatewaySimTest, RenamedStubsKeepTheirCloudContent) {
  auto& sim = makeSim();
  sim.addStub("a/old.txt", "moved content");
  sim.addFolder("b");
  ASSERT_TRUE(sim.mount());
  ASSERT_EQ(::rename(sim.path("a/old.txt").c_str(), sim.path("b/new.txt").c_str()), 0);
  EXPECT_EQ(readAttr(sim.path("b/new.txt"), "is.zavro.stub").value, "ZAVRO");
  EXPECT_EQ(readAttr(sim.path("b/new.txt"), "zavro.download.file").value, "0");
  EXPECT_EQ(contentOf(sim.path("b/new.txt")), "moved content");
}

TEST_F(GatewaySimTest, DenialRefusesMarkersWithEpermWhileListingWorks) {
  auto& sim = makeSim();
  sim.addStub("locked/a.doc", "a");
  sim.addStub("open/b.doc", "b");
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(sim.deny("locked"));

  EXPECT_EQ(readAttr(sim.path("locked/a.doc"), "is.zavro.stub").error, EPERM);
  EXPECT_EQ(readAttr(sim.path("locked"), "is.zavro.stub").error, EPERM);
  EXPECT_EQ(readAttr(sim.path("locked/a.doc"), "zavro.download.file").error, EPERM);
  const int fd = ::open(sim.path("locked/a.doc").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(errno, EPERM);
  if (fd >= 0) ::close(fd);
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(sim.path("locked"))) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::set<std::string>{"a.doc"});
  struct stat st;
  EXPECT_EQ(::stat(sim.path("locked/a.doc").c_str(), &st), 0);
  EXPECT_EQ(readAttr(sim.path("open/b.doc"), "is.zavro.stub").value, "ZAVRO");
  EXPECT_EQ(readAttr(sim.mountPoint(), "is.zavro.share").value, "ZAVRO");
  EXPECT_GE(count(sim.counters(), "errors", "EPERM"), 3u);
  EXPECT_EQ(count(sim.counters(), "downloads", "locked/a.doc"), 0u);

  ASSERT_TRUE(sim.clear());
  EXPECT_EQ(readAttr(sim.path("locked/a.doc"), "is.zavro.stub").value, "ZAVRO");
}

TEST_F(GatewaySimTest, OutagesAnswerTimeoutsOrHostDown) {
  auto& sim = makeSim();
  sim.addStub("far/f", "f");
  sim.addStub("down/g", "g");
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(sim.outage("far", "ETIMEDOUT"));
  ASSERT_TRUE(sim.outage("down", "EHOSTDOWN"));
  EXPECT_FALSE(sim.outage("x", "ENOSUCHTHING"));

  EXPECT_EQ(readAttr(sim.path("far/f"), "is.zavro.stub").error, ETIMEDOUT);
  struct stat st;
  EXPECT_EQ(::stat(sim.path("far").c_str(), &st), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_EQ(::stat(sim.path("down/g").c_str(), &st), -1);
  EXPECT_EQ(errno, EHOSTDOWN);
  const auto counters = sim.counters();
  EXPECT_GE(count(counters, "errors", "ETIMEDOUT"), 2u);
  EXPECT_GE(count(counters, "errors", "EHOSTDOWN"), 1u);

  ASSERT_TRUE(sim.clear());
  EXPECT_EQ(readAttr(sim.path("far/f"), "is.zavro.stub").value, "ZAVRO");
}

TEST_F(GatewaySimTest, LatencyAndSlowDownDelayCalls) {
  GatewaySim::Options options;
  options.latencyMs = 300;
  auto& sim = makeSim(options);
  sim.addStub("slow.bin", "s");
  sim.addOnline("t.txt", "t");
  ASSERT_TRUE(sim.mount());

  auto start = Clock::now();
  EXPECT_EQ(readAttr(sim.path("slow.bin"), "zavro.download.file").value, "0");
  EXPECT_GE(Clock::now() - start, 300ms);

  ASSERT_TRUE(sim.setLatency(0));
  ASSERT_TRUE(sim.setSlow(200));
  struct stat st;
  start = Clock::now();
  EXPECT_EQ(::stat(sim.path("t.txt").c_str(), &st), 0);
  EXPECT_GE(Clock::now() - start, 200ms);
  ASSERT_TRUE(sim.clear());
}

TEST_F(GatewaySimTest, ConcurrentReadsOfTheDownloadAttributeDownloadOnce) {
  auto& sim = makeSim();
  sim.addStub("shared.bin", patterned(64 * 1024));
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(sim.setLatency(100));
  std::vector<std::thread> readers;
  std::vector<AttrRead> answers(4);
  for (size_t i = 0; i < answers.size(); ++i) {
    readers.emplace_back(
        [&, i] { answers[i] = readAttr(sim.path("shared.bin"), "zavro.download.file"); });
  }
  for (auto& t : readers) t.join();
  size_t zeros = 0;
  for (const auto& a : answers) {
    EXPECT_EQ(a.error, 0);
    EXPECT_TRUE(a.value == "0" || a.value == "7") << a.value;
    zeros += a.value == "0";
  }
  EXPECT_GE(zeros, 1u);
  const auto counters = sim.counters();
  EXPECT_EQ(count(counters, "downloadReads", "shared.bin"), 4u);
  EXPECT_EQ(count(counters, "downloads", "shared.bin"), 1u);
  EXPECT_EQ(contentOf(sim.path("shared.bin")), patterned(64 * 1024));
}

// The inotify events on a folder, by file name.
class FolderEvents {
 public:
  explicit FolderEvents(const std::string& folder) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0) {
      watch_ = ::inotify_add_watch(fd_, folder.c_str(), IN_ATTRIB | IN_MODIFY | IN_CLOSE_WRITE);
    }
  }
  ~FolderEvents() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool valid() const { return watch_ >= 0; }
  // Reads events until the masks seen for name cover each of wanted, or the deadline passes.
  bool waitFor(const std::string& name, const std::vector<uint32_t>& wanted,
               std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const bool all = std::all_of(wanted.begin(), wanted.end(),
                                   [&](uint32_t w) { return (seen_[name] & w) != 0; });
      if (all) return true;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      alignas(inotify_event) char buf[8192];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      for (ssize_t off = 0; off < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        if (ev->len > 0) seen_[ev->name] |= ev->mask;
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
    }
  }

 private:
  int fd_ = -1;
  int watch_ = -1;
  std::map<std::string, uint32_t> seen_;
};

TEST_F(GatewaySimTest, InotifyOnTheMountSeesTheHydration) {
  auto& sim = makeSim();
  sim.addStub("watched/doc.pages", patterned(5000));
  sim.addStub("watched/other.pages", patterned(10));
  ASSERT_TRUE(sim.mount());
  FolderEvents events(sim.path("watched"));
  ASSERT_TRUE(events.valid());

  ASSERT_EQ(readAttr(sim.path("watched/doc.pages"), "zavro.download.file").value, "0");
  EXPECT_TRUE(events.waitFor("doc.pages", {IN_ATTRIB, IN_MODIFY | IN_CLOSE_WRITE}, 10s));

  // A content read of a stub shows the same way.
  ASSERT_EQ(contentOf(sim.path("watched/other.pages")), patterned(10));
  EXPECT_TRUE(events.waitFor("other.pages", {IN_ATTRIB, IN_MODIFY | IN_CLOSE_WRITE}, 10s));
}

TEST_F(GatewaySimTest, MountNotifierReportsMountAndUnmount) {
  auto& sim = makeSim();
  auto& notifier = platform::mounts::MountNotifier::shared();
  using Event = platform::mounts::MountNotifier::Event;
  std::vector<std::string> mounted, unmounted;
  const auto onMount = notifier.subscribe(Event::DidMount, [&](const auto& info) {
    mounted.push_back(info.count("NSDevicePath") ? info.at("NSDevicePath") : "");
  });
  const auto onUnmount = notifier.subscribe(Event::DidUnmount, [&](const auto& info) {
    unmounted.push_back(info.count("NSDevicePath") ? info.at("NSDevicePath") : "");
  });
  ASSERT_NE(onMount, 0u);
  ASSERT_NE(onUnmount, 0u);
  const auto has = [](const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
  };
  auto loop = platform::dispatch::RunLoop::main();

  ASSERT_TRUE(sim.mount());
  EXPECT_TRUE(loop->runUntil([&] { return has(mounted, sim.mountPoint()); }, 10s));
  EXPECT_FALSE(has(unmounted, sim.mountPoint()));

  ASSERT_TRUE(sim.unmount());
  EXPECT_TRUE(loop->runUntil([&] { return has(unmounted, sim.mountPoint()); }, 10s));
  notifier.unsubscribe(onMount);
  notifier.unsubscribe(onUnmount);
  EXPECT_FALSE(notifier.isWatching());
}

TEST_F(GatewaySimTest, UnmountEndsCallsBlockedInADownload) {
  auto& sim = makeSim();
  sim.addStub("stuck.bin", "x");
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(sim.setLatency(600000));
  std::atomic<bool> returned{false};
  AttrRead answer;
  std::thread reader([&] {
    answer = readAttr(sim.path("stuck.bin"), "zavro.download.file");
    returned = true;
  });
  EXPECT_TRUE(waitUntil([&] { return count(sim.counters(), "downloadReads", "stuck.bin") == 1; }));
  EXPECT_FALSE(returned.load());
  EXPECT_TRUE(sim.unmount(20s));
  EXPECT_TRUE(waitUntil([&] { return returned.load(); }, 20s));
  reader.join();
  EXPECT_NE(answer.error, 0);
  EXPECT_FALSE(sim.isMounted());
}

// A lazy unmount while a download waits: the simulator can no longer bring the file online
// through the mount, and the read must say so rather than answer "0".
TEST_F(GatewaySimTest, DownloadCutOffByALazyUnmountFails) {
  auto& sim = makeSim();
  sim.addStub("cut.bin", "cloud content");
  ASSERT_TRUE(sim.mount());
  ASSERT_TRUE(sim.setLatency(500));
  std::atomic<bool> returned{false};
  AttrRead answer;
  std::thread reader([&] {
    answer = readAttr(sim.path("cut.bin"), "zavro.download.file");
    returned = true;
  });
  EXPECT_TRUE(waitUntil([&] { return count(sim.counters(), "downloadReads", "cut.bin") == 1; }));
  ASSERT_EQ(::umount2(sim.mountPoint().c_str(), MNT_DETACH), 0) << std::strerror(errno);
  EXPECT_TRUE(waitUntil([&] { return returned.load(); }, 20s));
  reader.join();
  EXPECT_NE(answer.error, 0) << "answered \"" << answer.value << "\"";
  char marker[8] = {};
  EXPECT_EQ(::lgetxattr((sim.backing() + "/cut.bin").c_str(), "user.is.zavro.stub", marker,
                        sizeof marker),
            5);  // still a stub in the gateway's cache
}

TEST_F(GatewaySimTest, PopulatesTenThousandStubs) {
  auto& sim = makeSim();
  ASSERT_TRUE(sim.populate(10, 1000, 1024, 5));
  size_t stubs = 0, online = 0;
  for (const auto& entry : fs::recursive_directory_iterator(sim.backing())) {
    if (!entry.is_regular_file()) continue;
    const auto name = entry.path().filename().string();
    stubs += name.rfind("stub-", 0) == 0;
    online += name.rfind("online-", 0) == 0;
  }
  EXPECT_EQ(stubs, 10000u);
  EXPECT_EQ(online, 50u);

  ASSERT_TRUE(sim.mount());
  size_t listed = 0;
  for (const auto& entry : fs::directory_iterator(sim.path("folder-0009"))) {
    (void)entry;
    ++listed;
  }
  EXPECT_EQ(listed, 1005u);
  EXPECT_EQ(fs::file_size(sim.path("folder-0009/stub-00999.dat")), 1024u);
  EXPECT_EQ(readAttr(sim.path("folder-0009/stub-00999.dat"), "is.zavro.stub").value, "ZAVRO");
}

TEST_F(GatewaySimTest, CtlSendsOneCommandAndPrintsTheAnswer) {
  auto& sim = makeSim();
  ASSERT_TRUE(sim.mount());
  std::string out;
  EXPECT_EQ(sim.run({"ctl", "--control", sim.controlSocket(), "counters"}, &out), 0);
  const auto json = nlohmann::json::parse(out, nullptr, false);
  ASSERT_TRUE(json.is_object()) << out;
  EXPECT_TRUE(json.contains("downloadReads"));
  EXPECT_EQ(sim.run({"ctl", "--control", sim.controlSocket(), "latency", "soon"}, &out), 1);
  EXPECT_EQ(out.rfind("error", 0), 0u) << out;
  EXPECT_EQ(sim.run({"ctl", "--control", sim.controlSocket(), "fail", "my file.txt", "3"}, &out),
            0);
  EXPECT_EQ(out, "ok\n");
  EXPECT_EQ(sim.run({"ctl", "--control", sim.backing() + "/none.sock", "ping"}, &out), 2);
}

}  // namespace
}  // namespace pellora::testing
