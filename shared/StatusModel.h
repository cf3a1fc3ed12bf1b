// What the status window lists: one Problem per thing that keeps the add-on from working, in a
// fixed order, with the fix its button offers. Plain state, no user interface, so that the
// order and the exclusions can be tested without a window; ViewController is the view on top,
// and `pellora status` prints the same rows.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The controller operation a problem's button calls.
enum class ProblemAction {
  openLoginItemsSettings,
  fixService,
  fixNetworkAccess,
  fixFinderControl,
  openExtensionSettings,
  openLink,
};

struct Problem {
  std::string text;    // icon, one blank, the message
  std::string button;  // the button's title
  ProblemAction action;
  bool operator==(const Problem&) const = default;
};

// The service's findings in the shared defaults suite.
struct SharedStatus {
  std::optional<std::string> finderControl;  // "PLFinderControl"
  std::optional<std::string> networkAccess;  // "PLNetworkAccess"
  int64_t networkShares = 0;                 // "PLNetworkShares"
  int64_t monitoredShares = 0;               // "PLMonitoredShares"
};

// Where the list's facts come from; asked lazily, in the order of the rows, so that a check
// that is not needed is not made.
class StatusSources {
 public:
  virtual ~StatusSources() = default;
  virtual bool isEnabledInDefaults() = 0;
  // The service holds its lock, or else one of its processes runs.
  virtual bool serviceRuns() = 0;
  // Nothing when the shared suite cannot be opened.
  virtual std::optional<SharedStatus> sharedStatus() = 0;
};

class StatusModel {
 public:
  using Clock = std::chrono::steady_clock;
  // Turns a message or a button title into the user's language; the text itself when empty.
  using Localize = std::function<std::string(const std::string&)>;

  // Where the information row's "Learn more" leads.
  static constexpr const char* kHelpPageURL = "https://docs.zavro.com/pellora/installation";
  static constexpr const char* kWarningIcon = "\u26A0\uFE0F";
  static constexpr const char* kInformationIcon = "\u2139\uFE0F";

  explicit StatusModel(Localize localize = {});

  std::vector<Problem> currentProblems(StatusSources& sources, Clock::time_point now) const;

  // Takes problems as the displayed list; false when they equal the list already displayed
  // (the rows stay as they are).
  bool show(const std::vector<Problem>& problems);
  // The next show() rebuilds whatever it gets.
  void forgetShown() { shownProblems_.reset(); }
  const std::optional<std::vector<Problem>>& shownProblems() const { return shownProblems_; }

  // Whether the extension's state is to be read now; notes the time when it is.
  bool extensionCheckDue(Clock::time_point now, Clock::duration interval, bool force);

  bool restartInProgress = false;
  Clock::time_point quietUntil = Clock::time_point::min();
  std::optional<bool> extensionEnabled;  // none: unknown
  bool backgroundNeedsApproval = false;
  bool networkFixTried = false;
  bool finderFixTried = false;

 private:
  Problem problem(const char* icon, const std::string& message, const std::string& button,
                  ProblemAction action) const;

  Localize localize_;
  std::optional<std::vector<Problem>> shownProblems_;
  std::optional<Clock::time_point> extensionCheckedAt_;  // none: never
};
