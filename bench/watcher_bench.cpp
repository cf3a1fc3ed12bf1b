// The directory watcher against raw baselines measured in the same run:
//  1. watch set-up on a tree of folders: our event stream against nftw + inotify_add_watch;
//  2. a burst of file creations that overflows the inotify queue: the share of created files
//     that were refreshed after the drains (the goal is all of them) and refreshes per file.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <unordered_map>

#include "BenchSupport.h"
#include "TempDir.h"
#include "core/DirectoryWatcher.h"
#include "fsevents/EventStream.h"
#include "log/Capture.h"

namespace {

using namespace std::chrono_literals;
using pellora::testing::TempDir;

std::string gTree;
int gRawFd = -1;

void makeTree(const TempDir& dir, int folders) {
  gTree = dir.mkdir("tree");
  // 100 folders per level below a few parents, like a share with many project folders.
  for (int i = 0; i < folders; ++i) {
    dir.mkdir("tree/p" + std::to_string(i / 100) + "/f" + std::to_string(i));
  }
}

int addWatch(const char* path, const struct stat*, int type, FTW*) {
  if (type == FTW_D) ::inotify_add_watch(gRawFd, path, IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB);
  return 0;
}

void BM_RawNftwWatches(benchmark::State& state) {
  for (auto _ : state) {
    gRawFd = ::inotify_init1(IN_CLOEXEC);
    ::nftw(gTree.c_str(), addWatch, 64, FTW_PHYS);
    ::close(gRawFd);
  }
}

void BM_EventStreamStart(benchmark::State& state) {
  auto loop = std::make_shared<platform::dispatch::RunLoop>();
  size_t folders = 0;
  for (auto _ : state) {
    auto stream = platform::fsevents::EventStream::create(gTree, 1s, [](const auto&) {});
    stream->scheduleWithRunLoop(loop);
    stream->start();
    folders = stream->watchedFolders();
    stream->stop();
  }
  state.counters["folders"] = static_cast<double>(folders);
}

// Counts refreshes. Its first refresh blocks until the burst is written, as a refresh stuck on
// a slow share would: the watcher thread then reads no events and the kernel queue overflows.
class CountingRefresher : public RefreshFileIconInterface {
 public:
  bool refreshFileIcon(std::string& path) override {
    std::unique_lock guard(mutex);
    ++counts[path];
    if (!blocked) {
      blocked = true;
      changed.notify_all();
      changed.wait(guard, [&] { return released; });
    }
    return true;
  }
  void waitUntilBlocked() {
    std::unique_lock guard(mutex);
    changed.wait(guard, [&] { return blocked; });
  }
  void release() {
    std::lock_guard guard(mutex);
    released = true;
    changed.notify_all();
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool blocked = false;
  bool released = false;
  std::unordered_map<std::string, int> counts;
};

void burst(int files, int folders) {
  TempDir dir;
  const std::string root = dir.mkdir("share");
  for (int f = 0; f < folders; ++f) dir.mkdir("share/d" + std::to_string(f));
  CountingRefresher refresher;
  platform::log::Capture capture;
  platform::log::Log log("com.zavro.Pellora", "Shell");
  DirectoryWatcher watcher(root, refresher, log, WatcherTiming{100ms, 300ms, 1000ms});
  watcher.waitUntilWatching(10s);
  std::ofstream{root + "/first"};
  refresher.waitUntilBlocked();
  std::vector<std::string> created;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < files; ++i) {
    const std::string path = root + "/d" + std::to_string(i % folders) + "/file" + std::to_string(i);
    std::ofstream{path};
    created.push_back(path);
  }
  refresher.release();
  size_t refreshed = 0;
  const auto deadline = start + 180s;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard guard(refresher.mutex);
      refreshed = 0;
      for (const auto& p : created) refreshed += refresher.counts.count(p);
    }
    if (refreshed == created.size()) break;
    std::this_thread::sleep_for(50ms);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::lock_guard guard(refresher.mutex);
  long total = 0;
  int most = 0;
  for (const auto& p : created) {
    const auto it = refresher.counts.find(p);
    if (it == refresher.counts.end()) continue;
    total += it->second;
    most = std::max(most, it->second);
  }
  std::printf("burst of %d creations in %d folders (inotify queue overflowed: %s): %.1f%% "
              "refreshed at least once after %.1f s; refreshes per file: mean %.2f, max %d\n",
              files, folders, capture.contains("The kernel dropped events") ? "yes" : "no",
              100.0 * static_cast<double>(refreshed) / static_cast<double>(files), seconds,
              static_cast<double>(total) / static_cast<double>(files), most);
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("PELLORA_LOG", "none", 1);  // one log line per event would measure the log
  const bool smoke = pellora::bench::smokeRun(argc, argv);
  TempDir dir;
  makeTree(dir, smoke ? 500 : 10000);
  benchmark::RegisterBenchmark("raw nftw + inotify_add_watch", BM_RawNftwWatches)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("event stream start", BM_EventStreamStart)->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  pellora::bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double raw = reporter.nanosPerIteration["raw nftw + inotify_add_watch"];
  const double ours = reporter.nanosPerIteration["event stream start"];
  std::printf("\nwatch set-up: ratio %.2fx against nftw + inotify_add_watch (goal: at most 1.5x)\n",
              ours / raw);
  burst(smoke ? 2000 : 50000, smoke ? 4 : 50);
  return 0;
}
