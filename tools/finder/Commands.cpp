#include "Commands.h"

#include <charconv>
#include <chrono>
#include <optional>

#include "ConsentStore.h"
#include "ExtensionSupervisor.h"
#include "Finder.h"
#include "FolderPaths.h"
#include "findersync/Protocol.h"

namespace pellora::finder {

namespace message = platform::findersync::message;
using host::listItems;
using host::normalPath;
using platform::findersync::MenuKind;

namespace {

constexpr int kUsageStatus = 64;

std::optional<unsigned long> number(const std::string& text) {
  unsigned long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<MenuKind> menuKind(const std::string& name) {
  if (auto kind = message::menuKindFromName(name)) return kind;
  if (name == "ContextualMenuForItems") return MenuKind::ContextualMenuForItems;
  if (name == "ContextualMenuForContainer") return MenuKind::ContextualMenuForContainer;
  if (name == "ContextualMenuForSidebar") return MenuKind::ContextualMenuForSidebar;
  if (name == "ToolbarItemMenu") return MenuKind::ToolbarItemMenu;
  return std::nullopt;
}

CommandResult usageError(const std::string& why) {
  return CommandResult::fail("finder: " + why + "\n" + Commands::usage(), kUsageStatus);
}

std::string lines(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += item + "\n";
  return out;
}

}  // namespace

Commands::Commands(Finder& finder, host::ExtensionSupervisor& supervisor, ConsentStore& consent,
                   std::function<void()> quit)
    : finder_(finder), supervisor_(supervisor), consent_(consent), quit_(std::move(quit)) {}

const char* Commands::usage() {
  return "usage: finder [--socket PATH] [--scripting-socket PATH] COMMAND [ARGS]\n"
         "  serve [--no-previews]        run Finder (the daemon); --no-previews: folders nobody\n"
         "                               scripted show no previews\n"
         "  open FOLDER                  open a window on FOLDER\n"
         "  close FOLDER                 close it\n"
         "  windows                      the open folders\n"
         "  ls FOLDER                    BADGE<tab>NAME per item (\"-\": no badge)\n"
         "  select [PATH...]             set the selection (none: clear it)\n"
         "  menu [KIND]                  the menu for the selection; KIND: items (default),\n"
         "                               container, sidebar, toolbar\n"
         "  click [INDEX]                click item INDEX (default 0) of the menu shown last\n"
         "  extensions                   ID<tab>on|off<tab>PID|-<tab>PATH per extension\n"
         "  observed                     the folders the extensions observe\n"
         "  badges                       BADGE<tab>LABEL<tab>IMAGE per badge image\n"
         "  new-principal ID             have extension ID create another principal object\n"
         "  wait-badge PATH BADGE SECS   wait until PATH shows BADGE (\"-\": none)\n"
         "  view-options FOLDER          VIEW<tab>showsIconPreview=on|off<tab>\n"
         "                               showsPreviewColumn=on|off per view of its window\n"
         "  consent                      the questions waiting (question<tab>ID<tab>PROGRAM<tab>PID)\n"
         "                               and the decisions (allow|deny<tab>PROGRAM)\n"
         "  consent allow|deny ID        answer question ID (or decide for PROGRAM ahead)\n"
         "  quit                         stop Finder and its extensions\n";
}

bool Commands::takesPaths(const std::string& command) {
  return command == "open" || command == "close" || command == "ls" || command == "select" ||
         command == "wait-badge" || command == "view-options";
}

std::chrono::milliseconds Commands::answerTimeout(const std::vector<std::string>& args) {
  std::chrono::milliseconds timeout = std::chrono::seconds(30);
  if (args.size() == 4 && args[0] == "wait-badge") {
    if (const auto seconds = number(args[3])) timeout += std::chrono::seconds(*seconds);
  }
  return timeout;
}

void Commands::execute(const std::vector<std::string>& args, Reply reply) {
  if (args.empty()) {
    reply(usageError("no command"));
    return;
  }
  const std::string& command = args[0];
  const size_t count = args.size() - 1;
  std::string error;

  if ((command == "open" || command == "close") && count == 1) {
    const bool ok =
        command == "open" ? finder_.open(args[1], error) : finder_.close(args[1], error);
    reply(ok ? CommandResult::ok() : CommandResult::fail("finder: " + error));
  } else if (command == "windows" && count == 0) {
    reply(CommandResult::ok(lines(finder_.openFolders())));
  } else if (command == "ls" && count == 1) {
    const auto items = finder_.list(args[1]);
    if (!items) {
      reply(CommandResult::fail("finder: " + args[1] + ": not a folder"));
      return;
    }
    std::string out;
    for (const auto& item : *items) {
      out += (item.badge.empty() ? "-" : item.badge) + "\t" + item.name + "\n";
    }
    reply(CommandResult::ok(std::move(out)));
  } else if (command == "select") {
    finder_.select({args.begin() + 1, args.end()});
    reply(CommandResult::ok());
  } else if (command == "menu" && count <= 1) {
    const auto kind = count == 1 ? menuKind(args[1]) : MenuKind::ContextualMenuForItems;
    if (!kind) {
      reply(usageError("unknown menu kind " + args[1]));
      return;
    }
    finder_.menu(*kind, [reply](std::vector<host::MenuChoice> menu) {
      if (menu.empty()) {
        reply(CommandResult::ok("no menu\n"));
        return;
      }
      std::string out;
      for (const auto& item : menu) {
        out += std::string(item.entry.enabled ? "[x] " : "[ ] ") + item.entry.title + "\n";
      }
      reply(CommandResult::ok(std::move(out)));
    });
  } else if (command == "click" && count <= 1) {
    const auto index = count == 1 ? number(args[1]) : std::optional<unsigned long>(0);
    if (!index) {
      reply(usageError("INDEX is a number"));
      return;
    }
    const auto title = finder_.click(*index, error);
    reply(title ? CommandResult::ok(*title + "\n") : CommandResult::fail("finder: " + error));
  } else if (command == "extensions" && count == 0) {
    std::string out;
    for (const auto& e : supervisor_.extensions()) {
      out += e.plugin.identifier + "\t" + (e.plugin.enabled ? "on" : "off") + "\t" +
             (e.pid > 0 ? std::to_string(e.pid) : "-") + "\t" + e.plugin.path + "\n";
    }
    reply(CommandResult::ok(std::move(out)));
  } else if (command == "observed" && count == 0) {
    const auto folders = finder_.host().observed();
    reply(CommandResult::ok(lines({folders.begin(), folders.end()})));
  } else if (command == "badges" && count == 0) {
    std::string out;
    for (const auto& b : finder_.host().badgeImages()) {
      out += b.badge + "\t" + b.label + "\t" + b.image + "\n";
    }
    reply(CommandResult::ok(std::move(out)));
  } else if (command == "new-principal" && count == 1) {
    reply(finder_.host().newPrincipal(args[1])
              ? CommandResult::ok()
              : CommandResult::fail("finder: " + args[1] + " is not running"));
  } else if (command == "wait-badge" && count == 3) {
    const auto seconds = number(args[3]);
    if (!seconds) {
      reply(usageError("SECS is a whole number of seconds"));
      return;
    }
    const std::string path = args[1];
    const std::string badge = args[2] == "-" ? "" : args[2];
    finder_.waitBadge(path, badge, std::chrono::seconds(*seconds),
                      [this, reply, path, want = args[2]](bool shown) {
                        if (shown) {
                          reply(CommandResult::ok());
                          return;
                        }
                        const std::string now = finder_.host().badgeOf(path);
                        reply(CommandResult::fail("finder: timed out: " + path + " shows " +
                                                  (now.empty() ? "-" : now) + ", not " + want));
                      });
  } else if (command == "view-options" && count == 1) {
    const std::string folder = normalPath(args[1]);
    if (!listItems(folder)) {
      reply(CommandResult::fail("finder: " + folder + ": not a folder"));
      return;
    }
    const WindowViewOptions options = finder_.viewOptions().get(folder);
    std::string out;
    for (const View view : {View::List, View::Column, View::Icon}) {
      const ViewSettings& v = options.of(view);
      out += std::string(ViewOptionsStore::nameOf(view)) +
             "\tshowsIconPreview=" + (v.showsIconPreview ? "on" : "off") +
             "\tshowsPreviewColumn=" + (v.showsPreviewColumn ? "on" : "off") + "\n";
    }
    reply(CommandResult::ok(std::move(out)));
  } else if (command == "consent" && count == 0) {
    std::string out;
    for (const auto& q : consent_.pending()) {
      out += "question\t" + std::to_string(q.id) + "\t" + q.identity + "\t" +
             std::to_string(q.pid) + "\n";
    }
    for (const auto& [identity, d] : consent_.decisions()) {
      out += std::string(d == Decision::Allow ? "allow" : "deny") + "\t" + identity + "\n";
    }
    reply(CommandResult::ok(std::move(out)));
  } else if (command == "consent" && count == 2 && (args[1] == "allow" || args[1] == "deny")) {
    const bool ok =
        consent_.decide(args[2], args[1] == "allow" ? Decision::Allow : Decision::Deny, error);
    reply(ok ? CommandResult::ok() : CommandResult::fail("finder: " + error));
  } else if (command == "quit" && count == 0) {
    reply(CommandResult::ok());
    if (quit_) quit_();
  } else if (command == "serve") {
    reply(usageError("serve runs the daemon; it is not a request"));
  } else {
    reply(usageError("unknown command or wrong arguments: " + command));
  }
}

}  // namespace pellora::finder
