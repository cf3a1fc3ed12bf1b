// The Finder stand-in for multi-process tests: runs "finder serve" in a temporary folder of its
// own (home, configuration with the plug-in registry, data, log), runs the finder and pluginkit
// command lines against it, and cleans up however the test ends: Finder is stopped (SIGTERM,
// then SIGKILL after a deadline), extension processes it had running are killed if they are
// still there, and the folder is removed. Finder also gets SIGTERM when the thread that started
// it ends, so start it from the test's main thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "TempDir.h"

namespace pellora::testing {

class FinderStandIn {
 public:
  // Members carry initialisers so that designated initialisers of a few stay warning-free.
  struct Options {
    // Empty: $PELLORA_FINDER, else the finder this build made.
    std::string binary = {};
    // Empty: $PELLORA_PLUGINKIT, else the pluginkit this build made.
    std::string pluginkit = {};
    // Finder's defaults: listing a folder nobody scripted reads its files for previews (which
    // downloads stubs). False for tests where that is in the way ("serve --no-previews").
    bool previews = true;
  };
  struct Result {
    int status = -1;  // exit status; -1 when it did not end in time (it was killed) or died
    std::string out;
    std::string err;
  };

  FinderStandIn();
  explicit FinderStandIn(Options options);
  ~FinderStandIn();
  FinderStandIn(const FinderStandIn&) = delete;
  FinderStandIn& operator=(const FinderStandIn&) = delete;

  // The temporary folder; home(), config() and data() lie inside it.
  const std::string& root() const { return root_; }
  std::string home() const { return root_ + "/home"; }
  std::string config() const { return root_ + "/config"; }
  std::string data() const { return root_ + "/data"; }
  std::string socket() const { return root_ + "/home/.pellora-finder/control.sock"; }
  // Where it serves scripting (and consent); programs with home() as HOME find it there.
  std::string scriptingSocket() const { return root_ + "/home/.pellora-finder/scripting.sock"; }

  // Adds to the environment of every process started afterwards; Finder passes its own
  // environment on to the extensions it starts.
  void setEnv(const std::string& name, const std::string& value);

  // Runs "finder serve" and waits until it answers. False (with its log on stderr) when it
  // exits or the timeout passes first.
  bool start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Stops Finder with SIGTERM; true when it exited with status 0 in time.
  bool stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // True when Finder ended (it is reaped then); status gets its wait status.
  bool ended(int* status = nullptr);
  pid_t pid() const { return pid_; }
  std::string log() const;

  // Runs the finder command line against this Finder.
  Result run(const std::vector<std::string>& args,
             std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Runs pluginkit on this Finder's registry.
  Result pluginkit(const std::vector<std::string>& args,
                   std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // The process id of extension identifier as "finder extensions" shows it; 0 when it is not
  // running. Every id seen is remembered for the clean-up.
  pid_t extensionPid(const std::string& identifier);

 private:
  std::vector<std::string> environment() const;
  Result runToEnd(const std::string& binary, const std::vector<std::string>& args,
                  std::chrono::milliseconds timeout);
  void remember(pid_t pid);

  TempDir dir_;
  std::string root_;
  std::string binary_;
  std::string pluginkit_;
  bool previews_ = true;
  std::map<std::string, std::string> env_;
  pid_t pid_ = -1;
  int runs_ = 0;
  // Extension processes seen, with their command names (a reused id has another name).
  std::map<pid_t, std::string> extensions_;
};

}  // namespace pellora::testing
