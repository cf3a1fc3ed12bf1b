#include "StatusModel.h"

StatusModel::StatusModel(Localize localize) : localize_(std::move(localize)) {}

Problem StatusModel::problem(const char* icon, const std::string& message, const std::string& button,
                             ProblemAction action) const {
  const auto text = [this](const std::string& key) { return localize_ ? localize_(key) : key; };
  return Problem{std::string(icon) + " " + text(message), text(button), action};
}

std::vector<Problem> StatusModel::currentProblems(StatusSources& sources, Clock::time_point now) const {
  std::vector<Problem> problems;
  if (!sources.isEnabledInDefaults() || restartInProgress || now < quietUntil) return problems;
  if (backgroundNeedsApproval) {
    problems.push_back(problem(kWarningIcon,
                               "Pellora is not allowed to run in the background, so it won't start after a restart.",
                               "Open Settings", ProblemAction::openLoginItemsSettings));
  }
  if (!sources.serviceRuns()) {
    problems.push_back(
        problem(kWarningIcon, "The service is not running.", "Start", ProblemAction::fixService));
    return problems;
  }

  const auto shared = sources.sharedStatus();
  if (shared) {
    // The service is asking the user right now; what it will find is not known yet.
    if (shared->finderControl == "asking") return problems;
    if (shared->networkAccess == "blocked") {
      problems.push_back(problem(kWarningIcon,
                                 "No access to network shares, so icons can't be shown.\n"
                                 "After allowing access, reopen the folder in Finder.",
                                 "Fix", ProblemAction::fixNetworkAccess));
    }
    if (shared->finderControl == "notAsked") {
      problems.push_back(problem(kWarningIcon, "Finder control is not set up, so Disable Preview won't work.",
                                 "Fix", ProblemAction::fixService));
    } else if (shared->finderControl == "denied") {
      problems.push_back(problem(kWarningIcon, "Finder control is not allowed, so Disable Preview won't work.",
                                 finderFixTried ? "Open Settings" : "Fix", ProblemAction::fixFinderControl));
    }
  }
  if (extensionEnabled == false) {
    problems.push_back(problem(kWarningIcon, "The Finder extension is off.", "Open Settings",
                               ProblemAction::openExtensionSettings));
  }
  if (!shared || !shared->networkAccess) return problems;
  if (*shared->networkAccess == "ok" && shared->networkShares > 0 && shared->monitoredShares == 0) {
    problems.push_back(
        problem(kInformationIcon, "No Zavro share is connected.", "Learn more", ProblemAction::openLink));
  }
  return problems;
}

bool StatusModel::show(const std::vector<Problem>& problems) {
  if (shownProblems_ && *shownProblems_ == problems) return false;
  shownProblems_ = problems;
  return true;
}

bool StatusModel::extensionCheckDue(Clock::time_point now, Clock::duration interval, bool force) {
  if (!force && extensionCheckedAt_ && now - *extensionCheckedAt_ <= interval) return false;
  extensionCheckedAt_ = now;
  return true;
}
