#include "process/StandardOptions.h"

#include <cstdio>

namespace platform::process {

StandardOption standardOption(int argc, const char* const* argv, StandardOptionRules rules) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg == "--help" || (rules.shortHelp && arg == "-h")) return StandardOption::Help;
    if (arg == "--version") return StandardOption::Version;
  }
  return StandardOption::None;
}

std::optional<int> answerStandardOptions(int argc, const char* const* argv, std::string_view usage,
                                         std::string_view versionLine, StandardOptionRules rules) {
  std::string_view text;
  switch (standardOption(argc, argv, rules)) {
    case StandardOption::None:
      return std::nullopt;
    case StandardOption::Help:
      text = usage;
      break;
    case StandardOption::Version:
      text = versionLine;
      break;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
  std::fflush(stdout);
  return 0;
}

std::string toolVersionLine(std::string_view program, std::string_view version) {
  return std::string(program) + " (Zavro Pellora) " + std::string(version);
}

}  // namespace platform::process
