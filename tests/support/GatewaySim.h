// The simulated gateway share for tests: runs the gateway-sim program on a temporary folder of
// its own (cache, cloud, mount point, control socket, log) and cleans everything up, however
// the test ends: the process is stopped (SIGTERM, then SIGKILL after a deadline), a mount left
// behind is unmounted lazily, and the folder is removed. The program also gets SIGTERM when the
// thread that mounted it ends, so create and mount from the test's main thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TempDir.h"

namespace pellora::testing {

class GatewaySim {
 public:
  struct Options {
    // Empty: $PELLORA_GATEWAY_SIM, else the gateway-sim this build made.
    std::string binary;
    std::string source = "//gateway/share";
    int latencyMs = 0;
    bool shareMarker = true;
  };

  GatewaySim();
  explicit GatewaySim(Options options);
  ~GatewaySim();
  GatewaySim(const GatewaySim&) = delete;
  GatewaySim& operator=(const GatewaySim&) = delete;

  // The program that is run.
  const std::string& binary() const { return binary_; }
  const std::string& backing() const { return backing_; }
  const std::string& cloud() const { return cloud_; }
  const std::string& mountPoint() const { return mountPoint_; }
  const std::string& controlSocket() const { return controlSocket_; }
  // mountPoint() + "/" + rel.
  std::string path(const std::string& rel) const;

  // Content, before or after mounting, written straight into the cache and the cloud. Each
  // returns the path through the mount point.
  std::string addFolder(const std::string& rel);
  // An empty cache file with the stub marker; the content in the cloud.
  std::string addStub(const std::string& rel, const std::string& content);
  // The content in the cache (and the cloud), no marker.
  std::string addOnline(const std::string& rel, const std::string& content);
  // Sets attribute name (stored as "user." + name) on the cache's copy of rel.
  bool setAttribute(const std::string& rel, const std::string& name, const std::string& value);
  // Runs "gateway-sim populate" on the cache and the cloud.
  bool populate(int folders, int stubs, size_t size = 4096, int online = 0);

  // Starts the program and waits until the mount shows in /proc/self/mountinfo. False (with
  // the program's log on stderr) when it exits or the timeout passes first.
  bool mount(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Asks the program to end (SIGTERM) and waits until it has and the mount is gone. True when
  // it unmounted and exited cleanly.
  bool unmount(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  bool isMounted() const;
  // The program's process id while it runs, else -1.
  pid_t pid() const { return pid_; }
  // What the program wrote to stdout and stderr.
  std::string log() const;

  // Sends one control command; the answer, or "error: ..." when the program did not answer.
  std::string command(const std::string& line);
  // The commands; true when the program answered "ok".
  bool setLatency(int ms);
  bool setSlow(int ms);
  bool fail(const std::string& rel, int digit);
  bool deny(const std::string& rel);
  bool unreadable(const std::string& rel);
  bool outage(const std::string& rel, const std::string& errnoName);
  bool clear();
  bool resetCounters();
  // {"downloadReads": {rel: n}, "downloads": {...}, "contentReads": {...}, "errors": {name: n}};
  // null when the program did not answer.
  nlohmann::json counters();

  // Runs the program with args; its exit status (-1 when it did not end before the timeout and
  // was killed), with stdout and stderr in output.
  int run(const std::vector<std::string>& args, std::string* output = nullptr,
          std::chrono::milliseconds timeout = std::chrono::seconds(120)) const;

 private:
  // Stops the process: SIGTERM, SIGKILL after timeout; returns its wait status or -1.
  int stopProcess(std::chrono::milliseconds timeout);
  bool reaped(int* status);
  void unmountLeftovers();

  Options options_;
  TempDir dir_;
  std::string binary_;
  std::string backing_;
  std::string cloud_;
  std::string mountPoint_;
  std::string controlSocket_;
  std::string logPath_;
  pid_t pid_ = -1;
};

}  // namespace pellora::testing
