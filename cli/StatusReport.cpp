#include "StatusReport.h"

#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "ServiceStatusFile.h"
#include "SettingsGuidance.h"
#include "loginitems/LoginItems.h"
#include "text/Format.h"
#include "text/Split.h"

namespace pellora::cli {
namespace {

std::string guidance(SettingsPage page, const Texts& texts) {
  const Guidance g = guidanceFor(page, platform::loginitems::LoginItems().entryPath(kServiceBundleIdentifier));
  return platform::text::format(texts(g.key, g.text), {g.argument});
}

// The row's text without its icon, and which icon it was.
std::pair<std::string, std::string> levelAndMessage(const std::string& text) {
  for (const auto& [icon, level] : {std::pair{StatusModel::kWarningIcon, "warning"},
                                    std::pair{StatusModel::kInformationIcon, "information"}}) {
    const std::string prefix = std::string(icon) + " ";
    if (text.rfind(prefix, 0) == 0) return {level, text.substr(prefix.size())};
  }
  return {"warning", text};
}

// Lines of text after the first, each indented; blank lines left out.
void appendIndented(std::string& out, std::string_view text, const std::string& first, const std::string& indent) {
  bool isFirst = true;
  for (const auto line : platform::text::split(text, "\n")) {
    if (line.empty()) continue;
    out += (isFirst ? first : indent) + std::string(line) + "\n";
    isFirst = false;
  }
}

constexpr const char* kLabelIndent = "            ";  // under the values of the labels below

}  // namespace

const char* actionName(ProblemAction action) {
  switch (action) {
    case ProblemAction::openLoginItemsSettings:
      return "openLoginItemsSettings";
    case ProblemAction::fixService:
      return "fixService";
    case ProblemAction::fixNetworkAccess:
      return "fixNetworkAccess";
    case ProblemAction::fixFinderControl:
      return "fixFinderControl";
    case ProblemAction::openExtensionSettings:
      return "openExtensionSettings";
    case ProblemAction::openLink:
      return "openLink";
  }
  return "";
}

std::string adviceFor(ProblemAction action, const Texts& texts) {
  switch (action) {
    case ProblemAction::openLoginItemsSettings:
      return guidance(SettingsPage::LoginItems, texts);
    case ProblemAction::fixService:
      // What the window's button does: every copy stopped, a fresh one started.
      return "pellora enable --restart";
    case ProblemAction::fixNetworkAccess:
      return guidance(SettingsPage::FilesAndFolders, texts);
    case ProblemAction::fixFinderControl:
      return guidance(SettingsPage::Automation, texts);
    case ProblemAction::openExtensionSettings:
      return guidance(SettingsPage::Extensions, texts);
    case ProblemAction::openLink:
      return StatusModel::kHelpPageURL;
  }
  return "";
}

StatusReport gatherStatus(StatusProbe& probe, const Texts& texts) {
  StatusReport report;
  StatusModel model([&texts](const std::string& key) { return texts(key, ""); });
  for (auto& problem : probe.currentProblems(model)) {
    const ProblemAction action = problem.action;
    report.rows.push_back({std::move(problem), adviceFor(action, texts)});
  }
  report.enabled = probe.isEnabledInDefaults();
  report.managed = probe.service()->isEnabledForced();
  report.extensionEnabled = model.extensionEnabled;
  report.serviceRuns = probe.serviceRuns();
  const std::string home = probe.home();
  const auto holder = ServiceLockFile::runningHolder(home);
  if (!holder) return report;
  report.serviceRuns = true;
  report.pid = holder->pid;
  report.build = holder->version;
  // A file left by a copy that is gone says nothing about this one.
  const auto published = ServiceStatusFile(home).read();
  if (!published || published->pid != holder->pid) return report;
  report.version = published->version;
  if (!published->build.empty()) report.build = published->build;
  report.shares = published->shares;
  report.extensionConnections = published->extensionConnections;
  return report;
}

std::string renderStatusText(const StatusReport& r) {
  std::string out = "Pellora:    ";
  out += r.enabled ? "on" : "off";
  if (r.managed) out += ", managed by your administrator";
  if (!r.enabled && !r.managed) out += " (pellora enable switches it on)";
  out += "\n";

  out += "Service:    ";
  if (!r.serviceRuns) {
    out += "not running";
  } else {
    out += "running";
    if (r.pid) out += ", pid " + std::to_string(*r.pid);
    if (!r.version.empty() || !r.build.empty()) {
      out += ", version " + (r.version.empty() ? r.build : r.version + (r.build.empty() ? "" : " (" + r.build + ")"));
    }
  }
  out += "\n";

  out += "Shares:     ";
  if (!r.shares) {
    out += r.serviceRuns ? "unknown (the service publishes none)\n" : "none watched\n";
  } else if (r.shares->empty()) {
    out += "none watched\n";
  } else {
    for (size_t i = 0; i < r.shares->size(); ++i) out += (i ? kLabelIndent : "") + (*r.shares)[i] + "\n";
  }

  out += "Extension:  ";
  out += !r.extensionEnabled ? "state unknown" : *r.extensionEnabled ? "on" : "off";
  if (r.extensionConnections) {
    const int64_t n = *r.extensionConnections;
    out += n == 0 ? ", not connected" : n == 1 ? ", connected" : ", " + std::to_string(n) + " connected";
  } else if (!r.serviceRuns) {
    out += ", not connected";
  }
  out += "\n";

  if (r.rows.empty()) {
    out += r.enabled ? "Problems:   none\n" : "";
    return out;
  }
  out += "Problems:\n";
  for (const auto& row : r.rows) {
    appendIndented(out, row.problem.text, "  ", "     ");
    appendIndented(out, row.advice, "     " + row.problem.button + ": ", "       ");
  }
  return out;
}

nlohmann::json statusJson(const StatusReport& r) {
  const auto orNull = [](const auto& value) -> nlohmann::json {
    if (!value) return nullptr;
    return *value;
  };
  nlohmann::json problems = nlohmann::json::array();
  for (const auto& row : r.rows) {
    const auto [level, message] = levelAndMessage(row.problem.text);
    problems.push_back({{"level", level},
                        {"message", message},
                        {"fix", row.problem.button},
                        {"action", actionName(row.problem.action)},
                        {"advice", row.advice}});
  }
  nlohmann::json service{{"running", r.serviceRuns},
                         {"pid", orNull(r.pid)},
                         {"version", r.version.empty() ? nlohmann::json() : nlohmann::json(r.version)},
                         {"build", r.build.empty() ? nlohmann::json() : nlohmann::json(r.build)}};
  nlohmann::json extension{{"enabled", orNull(r.extensionEnabled)},
                           {"connections", orNull(r.extensionConnections)},
                           {"connected", r.extensionConnections ? nlohmann::json(*r.extensionConnections > 0)
                                         : r.serviceRuns        ? nlohmann::json()
                                                                : nlohmann::json(false)}};
  return {{"enabled", r.enabled},
          {"managed", r.managed},
          {"working", r.working()},
          {"service", std::move(service)},
          {"shares", r.shares ? nlohmann::json(*r.shares) : r.serviceRuns ? nlohmann::json() : nlohmann::json::array()},
          {"extension", std::move(extension)},
          {"problems", std::move(problems)}};
}

}  // namespace pellora::cli
