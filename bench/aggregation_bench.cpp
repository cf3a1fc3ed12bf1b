// File aggregation as a whole process against `find -type f` as a whole process, on the same
// tree in the same run: a small program that runs ZVFileManager::fileAggregation and exits,
// started in turn with find, each timed from spawn to exit and its peak memory taken from
// wait4's rusage.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "TempDir.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
  double seconds = 0;
  double peakMiB = 0;
  bool ok = false;
};

Run spawnAndWait(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  Run run;
  const auto start = Clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return run;
  int status = 0;
  struct rusage usage {};
  if (::wait4(pid, &status, 0, &usage) != pid) return run;
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

// 1,000 empty files per folder, like a share of project folders.
std::string makeTree(const pellora::testing::TempDir& dir, size_t total) {
  const std::string root = dir.mkdir("tree");
  std::string folder;
  for (size_t i = 0; i < total; ++i) {
    if (i % 1000 == 0) {
      folder = root + "/d" + std::to_string(i / 1000);
      ::mkdir(folder.c_str(), 0755);
    }
    const std::string file = folder + "/f" + std::to_string(i);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
  }
  return root;
}

// A spawned child shares this process's memory until it runs its program, and the kernel
// counts that in the child's peak: no child's peak can show below this figure.
double ownPeakMiB() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 0;
  char line[256];
  double kib = 0;
  while (std::fgets(line, sizeof line, status)) {
    if (std::sscanf(line, "VmHWM: %lf kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib / 1024.0;
}

struct Stats {
  double min, median, max;
};

Stats stats(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2], v.back()};
}

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = pellora::bench::smokeRun(argc, argv);
  const size_t total = smoke ? 2000 : 200000;
  const int rounds = smoke ? 3 : 11;
  pellora::testing::TempDir dir;
  const std::string root = makeTree(dir, total);
  const std::vector<std::string> find = {"find", root, "-type", "f"};
  const std::vector<std::string> ours = {PELLORA_AGGREGATE_FILES, root};
  // Once each first, so that both start from a warm cache.
  spawnAndWait(find);
  spawnAndWait(ours);
  std::vector<double> findTimes, ourTimes, findPeaks, ourPeaks;
  for (int round = 0; round < rounds; ++round) {
    // Alternating which goes first, so that neither side always follows the other.
    for (int side = 0; side < 2; ++side) {
      const bool findTurn = (round + side) % 2 == 0;
      const Run run = spawnAndWait(findTurn ? find : ours);
      if (!run.ok) {
        std::printf("aggregation: %s failed\n", findTurn ? "find" : PELLORA_AGGREGATE_FILES);
        return 1;
      }
      (findTurn ? findTimes : ourTimes).push_back(run.seconds);
      (findTurn ? findPeaks : ourPeaks).push_back(run.peakMiB);
    }
  }
  const Stats ft = stats(findTimes), ot = stats(ourTimes), fp = stats(findPeaks), op = stats(ourPeaks);
  std::printf("aggregation of %zu files, whole processes, %d rounds each (peaks read through wait4; "
              "none can show below this benchmark's own %.1f MiB):\n",
              total, rounds, ownPeakMiB());
  std::printf("  find -type f     time min %.3f / median %.3f / max %.3f s, peak %.1f MiB\n",
              ft.min, ft.median, ft.max, fp.median);
  std::printf("  fileAggregation  time min %.3f / median %.3f / max %.3f s, peak %.1f MiB\n",
              ot.min, ot.median, ot.max, op.median);
  std::printf("  time ratio at the median %.2fx (goal: at most 0.9x)\n", ot.median / ft.median);
  std::printf("  peak memory ratio %.2fx (goal: at most 1.5x)\n", op.median / fp.median);
  return 0;
}
