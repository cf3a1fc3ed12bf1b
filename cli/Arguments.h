// The pellora command line's words: which command, its options and its paths. Parsing only;
// --help and --version are answered before (platform::process::answerStandardOptions).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pellora::cli {

enum class Command { Status, Enable, Disable, Previews, Stubs, BringOnline };

struct Invocation {
  Command command = Command::Status;
  bool json = false;            // status, stubs
  bool restart = false;         // enable: stop every service copy and start a fresh one
  bool withoutService = false;  // bring-online: run even when no service runs
  std::optional<std::string> app;  // --app PATH: the application bundle to act as
  std::vector<std::string> paths;  // stubs, bring-online: one at least
  std::optional<bool> previews;    // previews on|off; none: show the choice
};

struct Parsed {
  std::optional<Invocation> invocation;
  // Why there is none, for the user (without the program's name).
  std::string error;
};

// args without the program's name. Options may come before or after the command's paths; after
// "--" every word is a path.
Parsed parseArguments(const std::vector<std::string>& args);

// The text of `pellora --help`.
const char* usageText();

}  // namespace pellora::cli
