#include "ProcessProbe.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace pellora::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The number after "Name:" in /proc/<pid>/status.
std::optional<size_t> statusField(const std::string& status, const std::string& name) {
  std::ifstream in(status);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + ":", 0) != 0) continue;
    try {
      return static_cast<size_t>(std::stoul(line.substr(name.size() + 1)));
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// One line per open descriptor, "NUMBER -> WHAT IT NAMES".
std::string describeDescriptors(pid_t pid) {
  std::vector<std::pair<int, std::string>> open;
  std::error_code ec;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code link;
    const auto target = fs::read_symlink(it->path(), link);
    open.emplace_back(std::atoi(it->path().filename().c_str()), link ? "?" : target.string());
  }
  std::sort(open.begin(), open.end());
  std::string out;
  for (const auto& [fd, target] : open) out += std::to_string(fd) + " -> " + target + "\n";
  return out;
}

}  // namespace

std::optional<ProcessLevels> probeProcess(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  std::ifstream statFile(base + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(statFile)), {});
  // After the command name: state, then 10 fields, then utime and stime (in clock ticks).
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(paren + 2));
  std::string state, skip;
  unsigned long long utime = 0, stime = 0;
  fields >> state;
  for (int i = 0; i < 10; ++i) fields >> skip;
  if (!(fields >> utime >> stime) || state == "Z" || state == "X") return std::nullopt;
  ProcessLevels levels;
  levels.cpuSeconds =
      static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  std::error_code ec;
  for (fs::directory_iterator it(base + "/fd", ec), end; !ec && it != end; it.increment(ec))
    ++levels.descriptors;
  if (ec) return std::nullopt;
  const auto threads = statusField(base + "/status", "Threads");
  const auto rss = statusField(base + "/status", "VmRSS");
  if (!threads || !rss) return std::nullopt;
  levels.threads = *threads;
  levels.residentKiB = *rss;
  return levels;
}

std::optional<ProcessLevels> steadyLevels(pid_t pid, std::chrono::milliseconds quiet,
                                          std::chrono::milliseconds timeout, std::string* why) {
  const auto start = Clock::now();
  std::string changes;
  auto last = probeProcess(pid);
  auto since = start;
  while (last) {
    if (Clock::now() - since >= quiet) return last;
    if (Clock::now() - start >= timeout) {
      if (why)
        *why = "still changing after the time-out:\n" + changes + "descriptors now:\n" +
               describeDescriptors(pid);
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto now = probeProcess(pid);
    if (now && (now->descriptors != last->descriptors || now->threads != last->threads)) {
      since = Clock::now();
      char line[96];
      std::snprintf(line, sizeof line, "+%.1f: %zu descriptors, %zu threads\n",
                    std::chrono::duration<double>(since - start).count(), now->descriptors,
                    now->threads);
      if (changes.size() < 4000) changes += line;
    }
    last = now;
  }
  if (why) *why = "the process has gone";
  return std::nullopt;
}

}  // namespace pellora::testing
