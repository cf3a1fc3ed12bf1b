// The command set of the Finder stand-in, executed in the daemon: the words of a command line
// in, the answer out (see README.md for each command and its output).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "CommandResult.h"

namespace pellora::host {
class ExtensionSupervisor;
}

namespace pellora::finder {

class Finder;
class ConsentStore;

class Commands {
 public:
  using Reply = std::function<void(CommandResult result)>;

  // quit is called after the answer to "quit" has been handed to reply.
  Commands(Finder& finder, host::ExtensionSupervisor& supervisor, ConsentStore& consent,
           std::function<void()> quit);

  // Answers through reply exactly once, at once or later (menu, wait-badge).
  void execute(const std::vector<std::string>& args, Reply reply);

  // The usage text of the command line.
  static const char* usage();
  // True when the command's words from index 1 on are paths (the command line makes them
  // absolute, since the daemon's working folder is not the caller's).
  static bool takesPaths(const std::string& command);
  // How long the command line waits for the answer to args.
  static std::chrono::milliseconds answerTimeout(const std::vector<std::string>& args);

 private:
  Finder& finder_;
  host::ExtensionSupervisor& supervisor_;
  ConsentStore& consent_;
  std::function<void()> quit_;
};

}  // namespace pellora::finder
