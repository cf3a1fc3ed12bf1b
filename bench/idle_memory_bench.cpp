// The memory the add-on's resident processes hold while idle: the service started from its
// bundle and the Finder extension that the Finder stand-in runs from the service's bundle, each
// in the temporary home of the stand-in, measured once the extension has connected to the
// service and both have had a moment to settle. Prints each one's resident set (VmRSS) with its
// file-backed and anonymous parts, beside the goal (extension <= 4.5 MB, service <= 40 MB), and
// as the raw baseline the resident set of a program that does nothing (sleep) in the same run.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "FinderStandIn.h"
#include "TestProcess.h"
#include "Wait.h"

namespace {

using namespace std::chrono_literals;
using pellora::testing::FinderStandIn;
using pellora::testing::TestProcess;
using pellora::testing::waitUntil;

constexpr const char* kExtensionId = "com.zavro.Pellora.Service.Finder";

// In MB of 1,024 kB, as the kernel's kB figures divide.
struct Resident {
  double total = 0, file = 0, anon = 0;
};

// VmRSS, RssFile (with RssShmem) and RssAnon of a process.
Resident residentOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::map<std::string, double> kb;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name;
    double value = 0;
    if (fields >> name >> value) kb[name] = value;
  }
  return {kb["VmRSS:"] / 1024, (kb["RssFile:"] + kb["RssShmem:"]) / 1024, kb["RssAnon:"] / 1024};
}

// With --mappings: what the resident pages of a process belong to, largest first.
void printMappings(const char* who, pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
  std::map<std::string, double> kb;
  std::string line, name;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string first;
    fields >> first;
    if (first == "Rss:") {
      double value = 0;
      fields >> value;
      kb[name] += value;
    } else if (first.find('-') != std::string::npos && first.back() != ':') {
      std::string perms, offset, device, inode;
      fields >> perms >> offset >> device >> inode;
      std::getline(fields >> std::ws, name);
      if (name.empty()) name = "(anonymous)";
    }
  }
  std::multimap<double, std::string, std::greater<>> sorted;
  for (const auto& [file, value] : kb) sorted.emplace(value, file);
  std::printf("%s:\n", who);
  for (const auto& [value, file] : sorted) {
    if (value > 0) std::printf("  %7.0f kB  %s\n", value, file.c_str());
  }
}

void print(const char* who, const Resident& r, const char* goal) {
  std::printf("%-10s %9.2f %9.2f %9.2f %9s\n", who, r.total, r.file, r.anon, goal);
}

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = pellora::bench::smokeRun(argc, argv);
  bool mappings = false;
  for (int i = 1; i < argc; ++i) mappings = mappings || std::string(argv[i]) == "--mappings";
  FinderStandIn finder{FinderStandIn::Options{.previews = false}};
  // The extension finds the service's port file in the home of its user database entry.
  finder.setEnv("PELLORA_USER_DB_HOME", finder.home());
  if (!finder.start()) return 2;
  if (finder.pluginkit({"-a", PELLORA_EXTENSION_BUNDLE}).status != 0) return 2;
  TestProcess service;
  if (!service.start({PELLORA_SERVICE_PATH},
                     {{"HOME", finder.home()},
                      {"XDG_CONFIG_HOME", finder.config()},
                      {"XDG_DATA_HOME", finder.data()}},
                     finder.root() + "/service.log")) {
    return 2;
  }
  pid_t extension = 0;
  const bool connected = waitUntil(
      [&] {
        extension = finder.extensionPid(kExtensionId);
        return extension > 0 && finder.log().find("Successfully connected") != std::string::npos;
      },
      30s);
  if (!connected) {
    std::fprintf(stderr, "the extension did not connect\nFinder:\n%s\nService:\n%s\n",
                 finder.log().c_str(), service.log().c_str());
    return 2;
  }
  TestProcess idle;
  idle.start({"sleep", "60"}, {}, finder.root() + "/sleep.log");
  // Idle: whatever start-up still does (the first watch list, the badge image) is over.
  std::this_thread::sleep_for(smoke ? 500ms : 3s);

  std::printf("resident memory after start-up, idle (MB)\n");
  std::printf("%-10s %9s %9s %9s %9s\n", "", "rss", "files", "anon", "goal");
  const Resident ext = residentOf(extension);
  const Resident svc = residentOf(service.pid());
  const Resident raw = residentOf(idle.pid());
  print("extension", ext, "<= 4.5");
  print("service", svc, "<= 40");
  print("sleep", raw, "(raw)");
  std::printf("extension against the raw baseline: %.2fx; goals met: %s\n", ext.total / raw.total,
              ext.total <= 4.5 && svc.total <= 40 ? "yes" : "NO");
  if (mappings) {
    printMappings("extension", extension);
    printMappings("service", service.pid());
  }
  idle.stop();
  service.stop();
  return ext.total > 0 && svc.total > 0 ? 0 : 1;
}
