// The download queue against raw baselines measured in the same run:
//  1. its own cost per file on local files, where the attribute read is a few microseconds:
//     the queue's time per file beyond a raw sequential loop of the same reads;
//  2. files of the simulated gateway at zero latency, one at a time, against a raw sequential
//     loop of the same attribute reads (needs root).
// File aggregation is measured as whole processes by aggregation_bench.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "BenchSupport.h"
#include "DownloadFileProcess/FileQueueManager.h"
#include "GatewaySim.h"
#include "TempDir.h"
#include "dispatch/RunLoop.h"
#include "xattr/Xattr.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using platform::dispatch::RunLoop;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Runs one batch through the queue and serves the main queue until its summary arrives.
double timeQueue(FileQueueManager& manager, const std::vector<std::string>& files,
                 long long& online) {
  bool summary = false;
  size_t progressCalls = 0;
  const auto start = Clock::now();
  manager.streamFiles(files, [&](double) { ++progressCalls; },
                      [&](std::optional<std::string>, bool finished) {
                        if (!finished) summary = true;
                      });
  RunLoop::main()->runUntil([&] { return summary; }, 600s);
  const double elapsed = seconds(Clock::now() - start);
  online = manager.status().processedCount;
  if (progressCalls != files.size() + 1) std::printf("  (progress was called %zu times)\n", progressCalls);
  return elapsed;
}

double timeRaw(const AttrManager& attrs, const std::vector<std::string>& files, long long& online) {
  online = 0;
  const auto start = Clock::now();
  for (const auto& f : files) online += attrs.bringFileOnline(f) == AttrManager::DownloadState::success;
  return seconds(Clock::now() - start);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Local files whose download attribute answers "online" at once: what remains of the queue's
// time beyond the reads is its own cost.
void localQueue(size_t count, int rounds) {
  pellora::testing::TempDir dir;
  std::vector<std::string> files;
  for (size_t i = 0; i < count; ++i) {
    files.push_back(dir.write("local/f" + std::to_string(i)));
    platform::xattr::set(files.back(), "zavro.download.file", "0", 1, 0, 0);
  }
  const AttrManager attrs;
  auto manager = FileQueueManager::create({0s, 0s});
  std::vector<double> raw, queued, beyond;
  long long rawOnline = 0, queueOnline = 0;
  for (int round = 0; round < rounds; ++round) {
    // Alternating which goes first, so that neither side always finds the cache as the other left it.
    double r, q;
    if (round % 2 == 0) {
      r = timeRaw(attrs, files, rawOnline);
      q = timeQueue(*manager, files, queueOnline);
    } else {
      q = timeQueue(*manager, files, queueOnline);
      r = timeRaw(attrs, files, rawOnline);
    }
    const double n = static_cast<double>(count);
    raw.push_back(r / n * 1e6);
    queued.push_back(q / n * 1e6);
    beyond.push_back((q - r) / n * 1e6);
    // The finished signal of the round (zero delay) is served before the next one starts.
    RunLoop::main()->runUntil([] { return false; }, 5ms);
  }
  std::sort(beyond.begin(), beyond.end());
  std::printf("download queue over %zu local files, %d rounds: raw read %.1f us/file (%lld online), "
              "queue %.1f us/file (%lld online)\n",
              count, rounds, median(raw), rawOnline, median(queued), queueOnline);
  std::printf("  queue's own cost per file beyond the raw read: min %.1f / median %.1f / max %.1f us "
              "(goal: at most 10 us)\n",
              beyond.front(), beyond[beyond.size() / 2], beyond.back());
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

void gatewayQueue(int perSet) {
  if (::geteuid() != 0) {
    std::printf("download queue on the simulated gateway: skipped (it needs root)\n");
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
  long long rawOk = 0, queuedOk = 0;
  std::vector<double> ratios;
  // Parts in turn, each side first in every other one, so that neither gets only the warm (or
  // the cold) share of the gateway, nor the quieter moments of a busy machine.
  const size_t parts = std::min<size_t>(10, raw.size());
  for (size_t part = 0; part < parts; ++part) {
    const size_t from = raw.size() * part / parts, to = raw.size() * (part + 1) / parts;
    long long ok = 0;
    double r = 0, q = 0;
    for (int side = 0; side < 2; ++side) {
      if ((side == 0) == (part % 2 == 0)) {
        r = timeRaw(attrs, {raw.begin() + from, raw.begin() + to}, ok);
        rawOk += ok;
      } else {
        q = timeQueue(*manager, {queued.begin() + from, queued.begin() + to}, ok);
        queuedOk += ok;
        RunLoop::main()->runUntil([] { return false; }, 5ms);
      }
    }
    rawTime += r;
    queueTime += q;
    ratios.push_back(q / r);
  }
  const double n = static_cast<double>(raw.size());
  std::printf("download queue over %zu gateway files at zero latency, %zu parts: raw loop %.1f us/file "
              "(%lld online), queue %.1f us/file (%lld online), ratio at the median %.2fx "
              "(goal: at most 1.2x)\n",
              raw.size(), parts, rawTime / n * 1e6, rawOk, queueTime / n * 1e6, queuedOk, median(ratios));
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("PELLORA_LOG", "none", 1);
  const bool smoke = pellora::bench::smokeRun(argc, argv);
  localQueue(smoke ? 200 : 20000, smoke ? 3 : 7);
  gatewayQueue(smoke ? 100 : 2000);
  return 0;
}
