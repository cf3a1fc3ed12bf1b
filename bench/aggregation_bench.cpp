// File aggregation as a whole process against `find -type f` as a whole process, on the same
// tree in the same run: a small program that runs ZVFileManager::fileAggregation and exits,
// started in turn with find, each timed from fork to exit and its peak memory taken from
// wait4's rusage by the small launcher peak_of.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "TempDir.h"

extern char** environ;

namespace {

struct Run {
  double seconds = 0;
  double peakMiB = 0;
  bool ok = false;
};

// Runs args through peak_of, which reports the program's peak memory and time.
Run spawnAndWait(const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(PELLORA_PEAK_OF)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Run run;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string report;
  char buffer[128];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<size_t>(n));
  ::close(out[0]);
  if (spawned != 0) return run;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return run;
  long kib = 0;
  if (std::sscanf(report.c_str(), "%ld %lf", &kib, &run.seconds) != 2) return run;
  run.peakMiB = static_cast<double>(kib) / 1024.0;
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
  // Each program's fixed cost, without any files: what the list of files adds is the rest.
  const std::string empty = dir.mkdir("empty");
  const double findEmpty = spawnAndWait({"find", empty, "-type", "f"}).peakMiB;
  const double ourEmpty = spawnAndWait({PELLORA_AGGREGATE_FILES, empty}).peakMiB;
  std::printf("aggregation of %zu files, whole processes, %d rounds each (peaks from wait4 in a "
              "small launcher):\n",
              total, rounds);
  std::printf("  find -type f     time min %.3f / median %.3f / max %.3f s, peak %.1f MiB\n",
              ft.min, ft.median, ft.max, fp.median);
  std::printf("  fileAggregation  time min %.3f / median %.3f / max %.3f s, peak %.1f MiB\n",
              ot.min, ot.median, ot.max, op.median);
  std::printf("  on an empty folder: find peak %.1f MiB, fileAggregation peak %.1f MiB\n", findEmpty,
              ourEmpty);
  std::printf("  time ratio at the median %.2fx (goal: at most 0.9x)\n", ot.median / ft.median);
  std::printf("  peak memory ratio %.2fx (goal: at most 1.5x)\n", op.median / fp.median);
  return 0;
}
