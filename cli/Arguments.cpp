#include "Arguments.h"

#include <map>

namespace pellora::cli {
namespace {

const std::map<std::string, Command>& commands() {
  static const std::map<std::string, Command> names{{"status", Command::Status},
                                                    {"enable", Command::Enable},
                                                    {"disable", Command::Disable},
                                                    {"previews", Command::Previews},
                                                    {"stubs", Command::Stubs},
                                                    {"bring-online", Command::BringOnline}};
  return names;
}

Parsed failure(std::string why) { return Parsed{std::nullopt, std::move(why)}; }

bool takesPaths(Command command) { return command == Command::Stubs || command == Command::BringOnline; }

}  // namespace

Parsed parseArguments(const std::vector<std::string>& args) {
  std::optional<std::string> name;
  Invocation invocation;
  bool operands = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!operands && arg == "--") {
      operands = true;
      continue;
    }
    if (!operands && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--json") {
        invocation.json = true;
      } else if (arg == "--restart") {
        invocation.restart = true;
      } else if (arg == "--without-service") {
        invocation.withoutService = true;
      } else if (arg == "--app" || arg.rfind("--app=", 0) == 0) {
        if (arg == "--app" && i + 1 >= args.size()) return failure("--app needs the path of the application");
        invocation.app = arg == "--app" ? args[++i] : arg.substr(6);
        if (invocation.app->empty()) return failure("--app needs the path of the application");
      } else {
        return failure("unknown option " + arg);
      }
      continue;
    }
    if (!name) {
      if (operands) return failure("no command before \"--\"");
      name = arg;
      const auto it = commands().find(arg);
      if (it == commands().end()) return failure("unknown command " + arg);
      invocation.command = it->second;
      continue;
    }
    if (invocation.command == Command::Previews) {
      if (invocation.previews || (arg != "on" && arg != "off")) return failure("previews takes on or off: " + arg);
      invocation.previews = arg == "on";
      continue;
    }
    if (!takesPaths(invocation.command)) return failure(*name + " takes no paths: " + arg);
    invocation.paths.push_back(arg);
  }
  if (!name) return failure("no command");

  const Command command = invocation.command;
  if (invocation.json && command != Command::Status && command != Command::Stubs) {
    return failure("--json is for status and stubs");
  }
  if (invocation.restart && command != Command::Enable) return failure("--restart is for enable");
  if (invocation.withoutService && command != Command::BringOnline) {
    return failure("--without-service is for bring-online");
  }
  if (invocation.app && command != Command::Enable && command != Command::Disable) {
    return failure("--app is for enable and disable");
  }
  if (takesPaths(command) && invocation.paths.empty()) return failure(*name + " needs at least one PATH");
  return Parsed{invocation, {}};
}

const char* usageText() {
  return "usage: pellora status [--json]\n"
         "       pellora enable [--restart] [--app PATH]\n"
         "       pellora disable [--app PATH]\n"
         "       pellora previews [on|off]\n"
         "       pellora stubs [--json] PATH...\n"
         "       pellora bring-online [--without-service] PATH...\n"
         "       pellora --help | --version\n"
         "\n"
         "Zavro Pellora from a terminal or a script.\n"
         "\n"
         "  status        what the status window shows: each problem that keeps Pellora from\n"
         "                working, with its fix; the service's pid and version, the gateway\n"
         "                shares it watches and whether a Finder extension is connected.\n"
         "                --json prints one JSON object instead.\n"
         "  enable        switches Pellora on, as the status window's switch does: the Finder\n"
         "                extension on, the service started and kept as a login item.\n"
         "                --restart stops every service copy and starts a fresh one, as the\n"
         "                window's Start button does.\n"
         "  disable       switches Pellora off: the extension off, every service copy stopped.\n"
         "                --app PATH: the application bundle to act as (by default the build's\n"
         "                beside this program, else \"Zavro Pellora.app\" in the applications\n"
         "                folder, $PELLORA_APPLICATIONS_DIR or /Applications).\n"
         "  previews      the preview choice, as the status window's Disable Preview box sets it:\n"
         "                off keeps the file manager from previewing files in gateway folders\n"
         "                opened from now on (previews would download stubs), on lets it.\n"
         "                Without a word, prints the choice.\n"
         "  stubs         for each PATH (a folder or a file on a gateway share): the number and\n"
         "                size of the stubs below it, which bringing it online downloads, and of\n"
         "                the files already online.\n"
         "  bring-online  brings every stub below each PATH online, one file after another, as\n"
         "                the progress window does; a progress bar on a terminal, a line per file\n"
         "                otherwise. Ctrl-C stops after the current file, a second Ctrl-C at\n"
         "                once. Needs the service (which keeps the badges in step) unless\n"
         "                --without-service is given.\n"
         "\n"
         "Exit status:\n"
         "  0    done; status: Pellora is on and nothing keeps it from working\n"
         "  1    status: Pellora is off or a problem is listed; bring-online: a file failed;\n"
         "       otherwise what was asked could not be done\n"
         "  2    bad usage\n"
         "  3    a PATH (or the --app bundle) does not exist\n"
         "  4    a PATH is not on a gateway share\n"
         "  5    no service runs (bring-online)\n"
         "  130  ended by Ctrl-C\n";
}

}  // namespace pellora::cli
