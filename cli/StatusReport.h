// `pellora status`: the status window's rows (StatusProbe and StatusModel, the window's own
// rules), each with what to do about it on this command line, and what only the running
// service knows (ServiceLockFile, ServiceStatusFile). Gathering reads the system; rendering
// turns a report into text or JSON and nothing else.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "StatusModel.h"
#include "StatusProbe.h"

namespace pellora::cli {

struct StatusRow {
  Problem problem;
  // What to do about it from here: a command, or the advice the window shows.
  std::string advice;
};

struct StatusReport {
  bool enabled = true;
  bool managed = false;  // the enable key is set by the administrator
  std::vector<StatusRow> rows;
  bool serviceRuns = false;
  std::optional<int32_t> pid;  // of the copy that holds the lock
  std::string version;         // the service's CFBundleShortVersionString; empty: unknown
  std::string build;           // its CFBundleVersion; empty: unknown
  // From the running service's status file; none when it published none.
  std::optional<std::vector<std::string>> shares;
  std::optional<int64_t> extensionConnections;
  std::optional<bool> extensionEnabled;

  // Nothing keeps Pellora from working: it is on and no row is listed.
  bool working() const { return enabled && rows.empty(); }
};

// A text of the application's strings table by key, with the English text to use when it has
// none (empty: the key itself).
using Texts = std::function<std::string(const std::string& key, const std::string& english)>;

StatusReport gatherStatus(StatusProbe& probe, const Texts& texts);

// The advice for a row's fix on the command line.
std::string adviceFor(ProblemAction action, const Texts& texts);
// "fixService", ... as the JSON names the row's fix.
const char* actionName(ProblemAction action);

std::string renderStatusText(const StatusReport& report);
nlohmann::json statusJson(const StatusReport& report);

}  // namespace pellora::cli
