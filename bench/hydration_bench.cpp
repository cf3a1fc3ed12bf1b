// Bringing files online against raw baselines measured in the same run:
//  1. file aggregation of a large tree against `find -type f` on the same tree;
//  2. the download queue's own cost: files at zero gateway latency, one at a time, against a
//     raw sequential loop of the same attribute reads (on the simulated gateway; needs root).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <dirent.h>

#include "BenchSupport.h"
#include "DownloadFileProcess/FileQueueManager.h"
#include "GatewaySim.h"
#include "TempDir.h"
#include "ZVFileManager.h"
#include "dispatch/RunLoop.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using platform::dispatch::RunLoop;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double timeFind(const std::string& root) {
  const auto start = Clock::now();
  pid_t pid = 0;
  const char* argv[] = {"find", root.c_str(), "-type", "f", nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnp(&pid, "find", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(pid, &status, 0);
  return seconds(Clock::now() - start);
}

double timeAggregation(const std::string& root, size_t& files) {
  auto manager = std::make_shared<ZVFileManager>();
  bool done = false;
  double elapsed = 0;
  const auto start = Clock::now();
  // Measured when the result arrives; releasing it afterwards is the caller's business.
  manager->fileAggregation({root}, [&](std::vector<std::string> urls, std::optional<ZVError>) {
    elapsed = seconds(Clock::now() - start);
    files = urls.size();
    done = true;
  });
  RunLoop::main()->runUntil([&] { return done; }, 600s);
  return elapsed;
}

void aggregation(size_t total) {
  pellora::testing::TempDir dir;
  const size_t perFolder = 1000;
  for (size_t i = 0; i < total; ++i) {
    dir.write("tree/d" + std::to_string(i / perFolder) + "/f" + std::to_string(i));
  }
  const std::string root = dir / "tree";
  double raw = 1e9, ours = 1e9;
  size_t files = 0;
  for (int round = 0; round < 5; ++round) {  // best of five, same warm cache for both
    raw = std::min(raw, timeFind(root));
    ours = std::min(ours, timeAggregation(root, files));
  }
  std::printf("aggregation of %zu files: find -type f %.3f s, fileAggregation %.3f s (%zu files), "
              "ratio %.2fx (goal: at most 1.2x)\n",
              total, raw, ours, files, ours / raw);
}

std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> out;
  DIR* d = ::opendir(folder.c_str());
  while (dirent* e = d ? ::readdir(d) : nullptr) {
    if (e->d_name[0] != '.') out.push_back(folder + "/" + e->d_name);
  }
  if (d) ::closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

void queue(int perSet) {
  if (::geteuid() != 0) {
    std::printf("download queue: skipped (the simulated gateway needs root)\n");
    return;
  }
  pellora::testing::GatewaySim sim;
  // Two equal sets of stubs: one for the raw loop, one for the queue.
  if (!sim.populate(2, perSet, 16) || !sim.mount()) {
    std::printf("download queue: the simulated gateway did not start\n%s\n", sim.log().c_str());
    return;
  }
  const auto raw = filesIn(sim.path("folder-0000"));
  const auto queued = filesIn(sim.path("folder-0001"));
  const AttrManager attrs;
  auto manager = FileQueueManager::create({0s, 0s});
  double rawTime = 0, queueTime = 0;
  int ok = 0;
  long long queuedOk = 0;
  // Halves in turn, so that neither side gets only the warm (or the cold) share.
  const size_t half = raw.size() / 2;
  for (size_t part = 0; part < 2; ++part) {
    const size_t from = part * half, to = part == 0 ? half : raw.size();
    auto start = Clock::now();
    for (size_t i = from; i < to; ++i) ok += attrs.bringFileOnline(raw[i]) == AttrManager::DownloadState::success;
    rawTime += seconds(Clock::now() - start);
    bool summary = false;
    start = Clock::now();
    manager->streamFiles({queued.begin() + from, queued.begin() + to}, [](double) {},
                         [&](std::optional<std::string>, bool finished) {
                           if (!finished) summary = true;
                         });
    RunLoop::main()->runUntil([&] { return summary; }, 600s);
    queueTime += seconds(Clock::now() - start);
    queuedOk += manager->status().processedCount;
  }
  const double n = static_cast<double>(raw.size());
  std::printf("download queue over %zu files at zero latency: raw loop %.1f us/file (%d online), "
              "queue %.1f us/file (%lld online), ratio %.2fx (goal: at most 1.2x)\n",
              raw.size(), rawTime / n * 1e6, ok, queueTime / n * 1e6, queuedOk, queueTime / rawTime);
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("PELLORA_LOG", "none", 1);
  const bool smoke = pellora::bench::smokeRun(argc, argv);
  aggregation(smoke ? 2000 : 200000);
  queue(smoke ? 100 : 10000);
  return 0;
}
