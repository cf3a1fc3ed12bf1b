// A soak of the whole system over real processes, each in a temporary home: two simulated
// gateway shares, the service started as the application starts it (`pellora enable`), the
// Finder stand-in and the Finder extension it runs. For PELLORA_SOAK_SECONDS (60 unless set;
// `make soak` runs 600) a seeded generator (PELLORA_SOAK_SEED replays one) draws user actions:
// shares mounted and unmounted, stubs brought online by the gateway, through the context menu
// and by Finder's previews, the gateway evicting files again, folders opened, listed and
// closed, the service and the extension killed, Pellora switched off and on, the preview choice
// changed. In the first half the service may be killed or switched off. Then Pellora is
// restarted, the copy that stays brings one file online and its levels are taken; it keeps
// running from there on. The last stretch has both shares mounted and the extension running,
// so that the badges Finder shows at the end are those the service's pushes left (a mount and
// an extension start have Finder ask for every badge anew). Throughout, no service copy may
// crash (this test is the init of its pid namespace, so it reaps them). Once settled: every
// badge Finder shows matches its file's stub marker, every online file holds the gateway's
// content, and the service's descriptors, threads and memory are within 10% of their levels
// after its start.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>

#include "FinderStandIn.h"
#include "GatewaySim.h"
#include "ProcessProbe.h"
#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "ServiceStatusFile.h"
#include "TestProcess.h"
#include "Wait.h"
#include "finderscript/FinderApplication.h"
#include "loginitems/LoginItems.h"
#include "process/Process.h"
#include "workspace/RunningApplication.h"
#include "xattr/Xattr.h"

namespace pellora::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kShares = 2, kFolders = 3, kFiles = 8;

// clang-format off
enum Kind { kMount, kUnmount, kGatewayHydration, kMenuHydration, kEviction, kOpen, kClose, kList,
            kPreviews, kKillService, kKillExtension, kEnable, kDisable, kKinds };
// The phases of a run: until the restart half way, until the last stretch, the last stretch.
enum Phase { kFirstHalf, kSecondHalf, kLastStretch };
// spacing: the least time between two actions of the kind, so that Finder's restart back-off
// and the service's start-up leave most of the run with both running. lastPhase: the last
// phase that draws it.
struct KindInfo { const char* name; int weight; std::chrono::seconds spacing; Phase lastPhase; };
constexpr std::array<KindInfo, kKinds> kKindInfo{{
    {"mount", 3, 0s, kSecondHalf},             {"unmount", 1, 3s, kSecondHalf},
    {"gateway hydration", 4, 0s, kLastStretch}, {"menu hydration", 4, 0s, kLastStretch},
    {"gateway eviction", 7, 0s, kLastStretch},  {"open folder", 3, 0s, kLastStretch},
    {"close folder", 1, 0s, kLastStretch},      {"list folder", 3, 0s, kLastStretch},
    {"preview change", 1, 0s, kLastStretch},    {"service kill", 1, 8s, kFirstHalf},
    {"extension kill", 1, 15s, kSecondHalf},    {"enable", 1, 0s, kSecondHalf},
    {"disable", 1, 10s, kFirstHalf}}};
// clang-format on

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

unsigned long fromEnvironment(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::stoul(text) : fallback;
}

bool isStub(const std::string& path) {
  char value[8] = {};
  return platform::xattr::get(path, "is.zavro.stub", value, sizeof value, 0, 0) == 5 &&
         std::string(value, 5) == "ZAVRO";
}

std::string levelLine(const char* what, size_t fresh, size_t start, size_t end) {
  char line[112];
  std::snprintf(line, sizeof line, "  %-12s %10zu %10zu %10zu %8.3f\n", what, fresh, start, end,
                start ? static_cast<double>(end) / static_cast<double>(start) : 0.0);
  return line;
}

bool withinTenPercent(size_t start, size_t end) {
  return end * 10 <= start * 11 && end * 10 >= start * 9;
}

class SoakTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting the simulated shares needs root";
    for (int i = 0; i < kShares; ++i) {
      GatewaySim::Options options;
      options.source = "//gateway/share" + std::to_string(i + 1);
      options.latencyMs = 20;
      shares[i] = std::make_unique<GatewaySim>(options);
    }
  }

  void TearDown() override {
    // Copies started by the enable handler and the login item are not children of this test.
    const std::string service = fs::weakly_canonical(PELLORA_SERVICE_PATH).string();
    EXPECT_TRUE(waitUntil([&] {
      size_t left = 0;
      for (const auto& app :
           platform::workspace::RunningApplication::runningApplications(kServiceBundleIdentifier)) {
        if (app.executableURL() != service) continue;
        app.forceTerminate();
        ++left;
      }
      reapOrphans();
      return left == 0;
    }));
    for (const auto& crash : crashes) ADD_FAILURE() << crash;
    if (!HasFailure()) return;
    const auto tail = [](const std::string& text) {
      return text.substr(text.size() > 300000 ? text.size() - 300000 : 0);
    };
    std::cerr << "Seed " << seed << "\nSystem log (the command line and the service):\n"
              << tail(contentOf(systemLog())) << "\nFinder log:\n"
              << tail(finder.log()) << "\n";
  }

  std::string systemLog() const { return finder.root() + "/system.log"; }
  std::string folder(int share, int f) const {
    return shares[share]->path("folder-" + std::to_string(f));
  }
  std::string file(int share, int f, int k) const {
    return folder(share, f) + "/file-" + std::to_string(k) + ".dat";
  }
  std::string rel(int f, int k) const {
    return "folder-" + std::to_string(f) + "/file-" + std::to_string(k) + ".dat";
  }
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); }
  template <typename T>
  const T& pickFrom(const std::vector<T>& from) {
    return from[pick(from.size())];
  }

  // The command line as the user runs it; the service copies it starts write here as well.
  int pellora(std::vector<std::string> args) {
    args.insert(args.begin(), PELLORA_CLI_PATH);
    TestProcess cli;
    int status = -1;
    const std::map<std::string, std::string> env{
        {"HOME", finder.home()},          {"XDG_CONFIG_HOME", finder.config()},
        {"XDG_DATA_HOME", finder.data()}, {"PELLORA_USER_DB_HOME", finder.home()},
        {"PELLORA_LOG", "stderr"},        {"XPC_SERVICE_NAME", ""}};
    if (cli.start(args, env, systemLog()) && !cli.waitExit(120s, &status)) cli.stop();
    return status;
  }
  pid_t servicePid() const {
    const auto holder = ServiceLockFile::runningHolder(finder.home());
    return holder ? holder->pid : 0;
  }
  // The copy the application starts hands over to the login item's copy once nothing is left
  // to ask: that copy is the one that keeps running.
  bool loginItemCopyRuns() const {
    const auto job =
        platform::loginitems::LoginItems(finder.config()).runningJob(kServiceBundleIdentifier);
    return job && *job == servicePid();
  }
  std::vector<std::string> openFolders() {
    std::vector<std::string> out;
    std::stringstream lines(finder.run({"windows"}).out);
    for (std::string line; std::getline(lines, line);) {
      for (const auto& share : shares) {
        if (share->isMounted() && line.rfind(share->mountPoint() + "/", 0) == 0)
          out.push_back(line);
      }
    }
    return out;
  }
  // The service runs and watches exactly the shares mounted, one extension is connected to it
  // (as the service itself publishes) and observes them.
  bool ready(std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
          std::vector<std::string> points;
          for (const auto& share : shares) {
            if (share->isMounted()) points.push_back(share->mountPoint());
          }
          std::sort(points.begin(), points.end());
          std::string expected;
          for (const auto& p : points) expected += p + "\n";
          const auto status = ServiceStatusFile(finder.home()).read();
          if (!status || status->pid != servicePid() || status->extensionConnections != 1)
            return false;
          auto watched = status->shares;
          std::sort(watched.begin(), watched.end());
          return watched == points && finder.run({"observed"}).out == expected;
        },
        timeout);
  }
  // This process is the init of its pid namespace: the copies the enable handler and the
  // login item started detached end here. Its own children are left to their owners. A copy
  // ends by SIGKILL (a kill, the handler's force-terminate) or with status 0; any other end is
  // a crash. (A zombie still shows its command name.)
  void reapOrphans() {
    for (;;) {
      siginfo_t info{};
      if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) return;
      if (info.si_pid == finder.pid()) return;
      for (const auto& share : shares) {
        if (info.si_pid == share->pid()) return;
      }
      const std::string comm = contentOf("/proc/" + std::to_string(info.si_pid) + "/comm");
      int status = 0;
      if (::waitpid(info.si_pid, &status, 0) != info.si_pid) return;
      if (comm.rfind("Zavro Pellora S", 0) != 0) continue;
      const std::string end = WIFSIGNALED(status)
                                  ? "ended by signal " + std::to_string(WTERMSIG(status))
                                  : "exited with status " + std::to_string(WEXITSTATUS(status));
      ends[info.si_pid] = end;
      const bool expected =
          WIFSIGNALED(status) ? WTERMSIG(status) == SIGKILL : WEXITSTATUS(status) == 0;
      if (!expected) crashes.push_back("service copy " + std::to_string(info.si_pid) + " " + end);
    }
  }

  void populate() {
    for (int i = 0; i < kShares; ++i) {
      for (int f = 0; f < kFolders; ++f) {
        for (int k = 0; k < kFiles; ++k) {
          // Long enough that a copy cut short shows; each file's own text.
          std::string content;
          const size_t size = 1024 + pick(32 * 1024);
          while (content.size() < size)
            content += "share " + std::to_string(i) + " " + rel(f, k) + " " +
                       std::to_string(content.size()) + "\n";
          content.resize(size);
          if (k % 3 == 0)
            shares[i]->addOnline(rel(f, k), content);
          else
            shares[i]->addStub(rel(f, k), content);
        }
      }
    }
  }

  // Draws one action among those that can be done now and does it.
  void act(Phase phase) {
    std::vector<int> mounted, unmounted;
    std::vector<std::string> stubs, online;
    for (int i = 0; i < kShares; ++i) {
      (shares[i]->isMounted() ? mounted : unmounted).push_back(i);
      if (!shares[i]->isMounted()) continue;
      for (int f = 0; f < kFolders; ++f) {
        for (int k = 0; k < kFiles; ++k)
          (isStub(file(i, f, k)) ? stubs : online).push_back(file(i, f, k));
      }
    }
    const auto open = openFolders();
    const auto now = Clock::now();
    std::array<bool, kKinds> possible;
    possible.fill(true);
    possible[kMount] = !unmounted.empty();
    possible[kUnmount] = possible[kOpen] = !mounted.empty();
    possible[kGatewayHydration] = !stubs.empty();
    possible[kEviction] = !online.empty();
    possible[kMenuHydration] = possible[kClose] = possible[kList] = !open.empty();
    possible[kKillService] = servicePid() > 0;
    std::vector<Kind> kinds;
    std::vector<int> weights;
    for (int k = 0; k < kKinds; ++k) {
      const KindInfo& info = kKindInfo[k];
      const bool spaced = done[k] == 0 || now - last[k] >= info.spacing;
      if (!possible[k] || !spaced || phase > info.lastPhase) continue;
      // Asked only when it could be drawn: it takes a round trip to Finder.
      if (k == kKillExtension && finder.extensionPid(kFinderExtensionIdentifier) <= 0) continue;
      kinds.push_back(static_cast<Kind>(k));
      weights.push_back(info.weight);
    }
    const Kind kind =
        kinds[std::discrete_distribution<int>(weights.begin(), weights.end())(random)];
    ++done[kind];
    last[kind] = now;
    lastKind = kind;
    switch (kind) {
      case kMount:
        ASSERT_TRUE(shares[pickFrom(unmounted)]->mount());
        break;
      case kUnmount: {
        auto& share = *shares[pickFrom(mounted)];
        EXPECT_TRUE(share.unmount()) << share.log();
        break;
      }
      case kGatewayHydration: {
        char digit[2] = {};
        const std::string& path = pickFrom(stubs);
        EXPECT_EQ(platform::xattr::get(path, "zavro.download.file", digit, 1, 0, 0), 1) << path;
        EXPECT_TRUE(digit[0] == '0' || digit[0] == '7') << path << " answered " << digit;
        break;
      }
      case kMenuHydration: {
        const std::string& where = pickFrom(open);
        std::vector<std::string> selection{"select"};
        if (pick(4) == 0) {
          selection.push_back(where);
        } else {
          for (size_t n = 1 + pick(3); n > 0; --n)
            selection.push_back(where + "/file-" + std::to_string(pick(kFiles)) + ".dat");
        }
        finder.run(selection);
        if (finder.run({"menu"}).out.rfind("[x] Bring", 0) == 0 &&
            finder.run({"click"}).status == 0)
          ++clicks;
        break;
      }
      case kEviction:
        evict(pickFrom(online));
        break;
      case kOpen: {
        const int share = pickFrom(mounted);
        EXPECT_EQ(finder.run({"open", folder(share, static_cast<int>(pick(kFolders)))}).status, 0);
        break;
      }
      case kClose:  // fails when its folder has gone meanwhile
        finder.run({"close", pickFrom(open)});
        break;
      case kList:
        EXPECT_EQ(finder.run({"ls", pickFrom(open)}).status, 0);
        break;
      case kPreviews:
        previews = !previews;
        EXPECT_EQ(pellora({"previews", previews ? "on" : "off"}), 0);
        break;
      case kKillService:
        kill(servicePid());
        break;
      case kKillExtension:
        kill(finder.extensionPid(kFinderExtensionIdentifier));
        break;
      case kEnable:
      case kDisable: {
        EXPECT_EQ(pellora({kind == kEnable ? "enable" : "disable"}), 0)
            << kKindInfo[kind].name << " failed (its message is in the system log)";
        break;
      }
      case kKinds:
        break;
    }
  }

  // The copy's levels once they hold still; a failure tells why they did not.
  static std::optional<ProcessLevels> settledLevels(pid_t pid, const char* when) {
    std::string why;
    const auto levels = steadyLevels(pid, 5s, 60s, &why);
    if (!levels) ADD_FAILURE() << "the service's levels did not settle " << when << ": " << why;
    return levels;
  }

  // The gateway makes an online file a stub again. Through the share, so that watchers see it
  // as they see the gateway's own changes.
  static void evict(const std::string& path) {
    EXPECT_EQ(::truncate(path.c_str(), 0), 0) << path;
    EXPECT_EQ(platform::xattr::set(path, "is.zavro.stub", "ZAVRO", 5, 0, 0), 0) << path;
  }

  // The copy's first bring-online shows its progress window, and Qt loads its fonts and styles
  // once (about 12 MB here): the levels the copy must keep are those after it.
  void bringOneFileOnline() {
    const std::string path = file(0, 0, 0);
    if (!isStub(path)) evict(path);
    ASSERT_EQ(finder.run({"select", path}).status, 0);
    ASSERT_EQ(finder.run({"menu"}).out, "[x] Bring File Online\n");
    ASSERT_EQ(finder.run({"click"}).status, 0);
    ASSERT_TRUE(waitUntil([&] { return !isStub(path); }, 20s));
  }

  // SIGKILL, done once the process has gone (as a crash is, by the time a user acts on it). A
  // process that has gone since it was looked up is not looked for again.
  void kill(pid_t pid) {
    if (pid <= 0 || ::kill(pid, SIGKILL) != 0) return;
    EXPECT_TRUE(waitUntil([&] {
      reapOrphans();
      return !platform::process::isAlive(pid);
    })) << pid;
  }

  void mountAll() {
    for (const auto& share : shares) {
      if (share->isMounted()) continue;
      ASSERT_TRUE(share->mount());
    }
  }

  // What the stand-in shows against each file's marker, for every folder of both shares.
  std::vector<std::string> wrongBadges() {
    std::vector<std::string> wrong;
    for (int i = 0; i < kShares; ++i) {
      for (int f = 0; f < kFolders; ++f) {
        const auto listed = finder.run({"ls", folder(i, f)});
        std::stringstream lines(listed.out);
        int seen = 0;
        for (std::string line; std::getline(lines, line); ++seen) {
          const std::string badge = line.substr(0, line.find('\t'));
          const std::string path = folder(i, f) + "/" + line.substr(line.find('\t') + 1);
          const bool stub = isStub(path);
          if (stub ? badge != "FileIconCache" : badge != "-" && badge != "FileIconNone") {
            wrong.push_back(path + " shows " + badge +
                            (stub ? " but is a stub" : " but is online"));
          }
        }
        if (seen != kFiles)
          wrong.push_back(folder(i, f) + " lists " + std::to_string(seen) +
                          " files: " + listed.err);
      }
    }
    return wrong;
  }

  std::array<std::unique_ptr<GatewaySim>, kShares> shares;
  FinderStandIn finder;
  unsigned long seed = 0;
  std::mt19937_64 random;
  std::array<size_t, kKinds> done{};
  std::array<Clock::time_point, kKinds> last{};
  Kind lastKind = kKinds;
  // Service copies this test reaped that did not end as a copy ends; how each copy ended.
  std::vector<std::string> crashes;
  std::map<pid_t, std::string> ends;
  size_t clicks = 0;
  bool previews = false;
};

TEST_F(SoakTest, RandomUserActionsLeaveBadgesFilesAndTheServiceAsTheyShouldBe) {
  const auto seconds = fromEnvironment("PELLORA_SOAK_SECONDS", 60);
  seed = fromEnvironment("PELLORA_SOAK_SEED", std::random_device{}());
  random.seed(seed);
  std::cout << "soak: " << seconds << " s, seed " << seed << " (PELLORA_SOAK_SEED=" << seed
            << " replays it)\n";
  populate();
  mountAll();
  ASSERT_TRUE(finder.start());
  ASSERT_EQ(finder.pluginkit({"-a", PELLORA_EXTENSION_BUNDLE}).status, 0);
  // Finder control granted ahead, as the user would when asked.
  ASSERT_EQ(finder.run({"consent", "allow", kServiceBundleIdentifier}).status, 0);
  ASSERT_EQ(pellora({"enable"}), 0);
  ASSERT_TRUE(ready(30s));

  const auto start = Clock::now();
  const auto run = std::chrono::seconds(seconds);
  // The waits between the phases do not count as the run's time.
  auto half = start + run / 2, stretch = start + run * 85 / 100, end = start + run;
  Phase phase = kFirstHalf;
  pid_t measured = 0;
  double handOver = 0;
  std::optional<ProcessLevels> freshLevels, startLevels;
  while (Clock::now() < end) {
    if (phase == kFirstHalf && Clock::now() >= half) {
      // The user restarts Pellora (the status window's Start button) with both shares there.
      phase = kSecondHalf;
      const auto paused = Clock::now();
      mountAll();
      ASSERT_EQ(pellora({"enable", "--restart"}), 0);
      ASSERT_TRUE(waitUntil([&] { return loginItemCopyRuns(); }, 90s)) << "no hand-over";
      handOver = std::chrono::duration<double>(Clock::now() - paused).count();
      ASSERT_TRUE(ready(60s));
      measured = servicePid();
      freshLevels = settledLevels(measured, "after its start");
      bringOneFileOnline();
      startLevels = settledLevels(measured, "after its first bring-online");
      ASSERT_TRUE(freshLevels && startLevels);
      stretch += Clock::now() - paused;
      end += Clock::now() - paused;
    }
    if (phase == kSecondHalf && Clock::now() >= stretch) {
      phase = kLastStretch;
      const auto paused = Clock::now();
      mountAll();
      ASSERT_TRUE(ready(90s));
      end += Clock::now() - paused;
    }
    act(phase);
    reapOrphans();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(crashes.empty()) << crashes.front()
                                 << "; the last action: " << kKindInfo[lastKind].name;
    if (measured && !platform::process::isAlive(measured)) {
      waitUntil([&] {
        reapOrphans();
        return ends.count(measured) > 0;
      });
      FAIL() << "the service copy " << measured << " has gone (" << ends[measured]
             << "); the last action: " << kKindInfo[lastKind].name;
    }
  }

  // Settled: every folder open, previews off so that listing reads nothing.
  ASSERT_TRUE(ready(30s));
  EXPECT_EQ(servicePid(), measured) << "the service copy started half way has gone";
  ASSERT_EQ(pellora({"previews", "off"}), 0);
  for (int i = 0; i < kShares; ++i) {
    for (int f = 0; f < kFolders; ++f) ASSERT_EQ(finder.run({"open", folder(i, f)}).status, 0);
  }
  const auto scripting =
      platform::finderscript::FinderApplication::applicationAtSocket(finder.scriptingSocket());
  ASSERT_TRUE(waitUntil(
      [&] {
        bool off = true;
        for (const auto& f : openFolders()) {
          const auto window = scripting->folders().objectAtLocation(f)->containerWindow();
          const auto icon = window ? window->iconViewOptions() : nullptr;
          if (icon && icon->showsIconPreview() == false) continue;
          if (icon) icon->setShowsIconPreview(false);
          off = false;
        }
        return off;
      },
      20s));
  std::vector<std::string> wrong;
  EXPECT_TRUE(waitUntil([&] { return (wrong = wrongBadges()).empty(); }, 30s));
  for (const auto& w : wrong) ADD_FAILURE() << w;

  size_t stubCount = 0, torn = 0;
  for (int i = 0; i < kShares; ++i) {
    for (int f = 0; f < kFolders; ++f) {
      for (int k = 0; k < kFiles; ++k) {
        if (isStub(file(i, f, k))) {
          ++stubCount;
          continue;
        }
        const bool whole =
            contentOf(file(i, f, k)) == contentOf(shares[i]->cloud() + "/" + rel(f, k));
        EXPECT_TRUE(whole) << file(i, f, k) << " does not hold the gateway's content";
        torn += whole ? 0 : 1;
      }
    }
  }

  const auto endLevels = settledLevels(measured, "at the end");
  ASSERT_TRUE(endLevels);
  std::ostringstream figures;
  size_t total = 0;
  for (size_t n : done) total += n;
  figures << "actions: " << total << " in " << seconds << " s (" << clicks
          << " menu clicks brought items online)\n";
  for (int k = 0; k < kKinds; ++k) figures << "  " << kKindInfo[k].name << ": " << done[k] << "\n";
  figures << "files: " << kShares * kFolders * kFiles << ", " << stubCount << " stubs at the end, "
          << torn << " torn\n"
          << "service pid " << measured << " (the login item's copy, which took over " << handOver
          << " s after the restart half way), levels after its start, after its first\n"
          << "bring-online (the progress window shown once) and at the end; ratio end / first:\n"
          << "  level             start      first        end    ratio\n"
          << levelLine("descriptors", freshLevels->descriptors, startLevels->descriptors,
                       endLevels->descriptors)
          << levelLine("threads", freshLevels->threads, startLevels->threads, endLevels->threads)
          << levelLine("RSS KiB", freshLevels->residentKiB, startLevels->residentKiB,
                       endLevels->residentKiB)
          << "  processor time of the copy from its first bring-online to the end: "
          << endLevels->cpuSeconds - startLevels->cpuSeconds << " s\n";
  std::cout << figures.str() << std::flush;
  EXPECT_TRUE(withinTenPercent(startLevels->descriptors, endLevels->descriptors));
  EXPECT_TRUE(withinTenPercent(startLevels->threads, endLevels->threads));
  EXPECT_TRUE(withinTenPercent(startLevels->residentKiB, endLevels->residentKiB));
}

}  // namespace
}  // namespace pellora::testing
