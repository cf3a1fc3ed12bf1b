// --help and --version, which every program answers before it does anything else: the usage or
// the version line goes to stdout and the program ends with status 0, without starting,
// reading or writing anything of its own. They are looked for among all the arguments up to a
// "--" (the words after it are operands).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::process {

enum class StandardOption { None, Help, Version };

struct StandardOptionRules {
  // "-h" stands for --help too (not where a program's own options give it another meaning).
  bool shortHelp = true;
};

StandardOption standardOption(int argc, const char* const* argv, StandardOptionRules rules = {});

// Prints usage for --help, versionLine for --version (each ending in a line break) and returns
// the status to end with; nothing when neither was asked for.
std::optional<int> answerStandardOptions(int argc, const char* const* argv, std::string_view usage,
                                         std::string_view versionLine, StandardOptionRules rules = {});

// "<program> (Zavro Pellora) <version>", the version line of the project's tools.
std::string toolVersionLine(std::string_view program, std::string_view version);
// The bundled programs' version line is platform::workspace::bundleVersionLine.

}  // namespace platform::process
