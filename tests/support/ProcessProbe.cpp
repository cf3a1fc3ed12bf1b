#include "ProcessProbe.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

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

}  // namespace

std::optional<ProcessLevels> probeProcess(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  const auto state = [&]() -> char {
    std::ifstream in(base + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() ? text[paren + 2] : '?';
  }();
  if (state == '?' || state == 'Z' || state == 'X') return std::nullopt;
  ProcessLevels levels;
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
                                          std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  auto last = probeProcess(pid);
  auto since = Clock::now();
  while (last) {
    if (Clock::now() - since >= quiet) return last;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto now = probeProcess(pid);
    if (!now) return std::nullopt;
    if (now->descriptors != last->descriptors || now->threads != last->threads)
      since = Clock::now();
    last = now;
  }
  return std::nullopt;
}

}  // namespace pellora::testing
