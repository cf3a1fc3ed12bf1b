// The status list without a window: which problems show, in which order, and what keeps the
// others out.
#include "StatusModel.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace std::chrono_literals;

// The facts, and which of them the list asked for.
class FakeSources : public StatusSources {
 public:
  bool enabled = true;
  bool running = true;
  std::optional<SharedStatus> shared = SharedStatus{};
  std::map<std::string, int> asked;

  bool isEnabledInDefaults() override {
    ++asked["enabled"];
    return enabled;
  }
  bool serviceRuns() override {
    ++asked["running"];
    return running;
  }
  std::optional<SharedStatus> sharedStatus() override {
    ++asked["shared"];
    return shared;
  }
};

// The rows by the first words of their messages.
std::vector<std::string> rows(const std::vector<Problem>& problems) {
  std::vector<std::string> out;
  for (const auto& p : problems) {
    const size_t blank = p.text.find(' ');
    out.push_back(p.text.substr(blank + 1, 24));
  }
  return out;
}

const auto kNow = StatusModel::Clock::now();

TEST(StatusModel, EveryProblemAtOnceComesInTheOrderOfTheChecks) {
  StatusModel model;
  model.backgroundNeedsApproval = true;
  model.extensionEnabled = false;
  FakeSources sources;
  sources.shared = SharedStatus{"denied", "blocked", 2, 0};
  auto problems = model.currentProblems(sources, kNow);
  EXPECT_EQ(rows(problems), (std::vector<std::string>{"Pellora is not allowed t", "No access to network sha",
                                                      "Finder control is not al", "The Finder extension is "}));
  // Blocked access is no "ok": the information row needs readable shares.
  sources.shared = SharedStatus{"notAsked", "ok", 2, 0};
  problems = model.currentProblems(sources, kNow);
  EXPECT_EQ(rows(problems), (std::vector<std::string>{"Pellora is not allowed t", "Finder control is not se",
                                                      "The Finder extension is ", "No Zavro share is connec"}));

  // The buttons' titles and actions (the window tests check the texts as shown).
  std::vector<std::pair<std::string, ProblemAction>> buttons;
  for (const auto& p : problems) buttons.emplace_back(p.button, p.action);
  EXPECT_EQ(buttons, (std::vector<std::pair<std::string, ProblemAction>>{
                         {"Open Settings", ProblemAction::openLoginItemsSettings},
                         {"Fix", ProblemAction::fixService},
                         {"Open Settings", ProblemAction::openExtensionSettings},
                         {"Learn more", ProblemAction::openLink}}));
  EXPECT_EQ(problems[3].text, "\u2139\uFE0F No Zavro share is connected.");

  sources.shared = SharedStatus{"denied", "blocked", 0, 0};
  model.backgroundNeedsApproval = false;
  model.extensionEnabled.reset();
  problems = model.currentProblems(sources, kNow);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0].action, ProblemAction::fixNetworkAccess);
  EXPECT_EQ(problems[1].action, ProblemAction::fixFinderControl);
  EXPECT_EQ(problems[1].button, "Fix");
  // Once a restart has fixed nothing, the button leads to the settings.
  model.finderFixTried = true;
  EXPECT_EQ(model.currentProblems(sources, kNow)[1].button, "Open Settings");
}

TEST(StatusModel, TheEnableKeyARestartAndTheQuietPeriodEmptyTheListBeforeAnythingIsAsked) {
  StatusModel model;
  model.backgroundNeedsApproval = true;
  FakeSources sources;
  sources.running = false;
  sources.enabled = false;
  EXPECT_TRUE(model.currentProblems(sources, kNow).empty());
  EXPECT_EQ(sources.asked.count("running"), 0u);

  sources.enabled = true;
  model.restartInProgress = true;
  EXPECT_TRUE(model.currentProblems(sources, kNow).empty());
  model.restartInProgress = false;
  model.quietUntil = kNow + 5s;
  EXPECT_TRUE(model.currentProblems(sources, kNow + 4s).empty());
  EXPECT_EQ(sources.asked.count("running"), 0u);
  EXPECT_EQ(model.currentProblems(sources, kNow + 5s).size(), 2u);
}

TEST(StatusModel, AServiceThatDoesNotRunHidesEverythingButTheBackgroundProblem) {
  StatusModel model;
  model.extensionEnabled = false;
  FakeSources sources;
  sources.running = false;
  sources.shared = SharedStatus{"denied", "blocked", 3, 0};
  EXPECT_EQ(model.currentProblems(sources, kNow),
            (std::vector<Problem>{{"\u26A0\uFE0F The service is not running.", "Start", ProblemAction::fixService}}));
  model.backgroundNeedsApproval = true;
  EXPECT_EQ(rows(model.currentProblems(sources, kNow)),
            (std::vector<std::string>{"Pellora is not allowed t", "The service is not runni"}));
  EXPECT_EQ(sources.asked.count("shared"), 0u);
}

TEST(StatusModel, WhileFinderControlIsAskedForTheLaterRowsStayOut) {
  StatusModel model;
  model.backgroundNeedsApproval = true;
  model.extensionEnabled = false;
  FakeSources sources;
  sources.shared = SharedStatus{"asking", "blocked", 2, 0};
  EXPECT_EQ(rows(model.currentProblems(sources, kNow)), (std::vector<std::string>{"Pellora is not allowed t"}));
}

TEST(StatusModel, TheInformationRowNeedsReadableSharesNoneOfThemAGatewayShare) {
  StatusModel model;
  FakeSources sources;
  const auto infoRows = [&](SharedStatus status) {
    sources.shared = status;
    return model.currentProblems(sources, kNow).size();
  };
  EXPECT_EQ(infoRows({std::nullopt, "ok", 1, 0}), 1u);
  EXPECT_EQ(infoRows({std::nullopt, "ok", 1, 1}), 0u);
  EXPECT_EQ(infoRows({std::nullopt, "ok", 0, 0}), 0u);
  EXPECT_EQ(infoRows({std::nullopt, "unknown", 2, 0}), 0u);
  EXPECT_EQ(infoRows({std::nullopt, std::nullopt, 2, 0}), 0u);
  // Without the shared suite nothing that depends on it shows; the extension row still does.
  model.extensionEnabled = false;
  sources.shared.reset();
  EXPECT_EQ(rows(model.currentProblems(sources, kNow)), (std::vector<std::string>{"The Finder extension is "}));
  model.extensionEnabled.reset();
  EXPECT_TRUE(model.currentProblems(sources, kNow).empty());
}

TEST(StatusModel, TheExtensionIsCheckedAtMostOnceAnIntervalUnlessForced) {
  StatusModel model;
  EXPECT_TRUE(model.extensionCheckDue(kNow, 10s, false));
  EXPECT_FALSE(model.extensionCheckDue(kNow + 10s, 10s, false));
  EXPECT_TRUE(model.extensionCheckDue(kNow + 10s, 10s, true));
  EXPECT_FALSE(model.extensionCheckDue(kNow + 15s, 10s, false));
  EXPECT_TRUE(model.extensionCheckDue(kNow + 21s, 10s, false));
}

}  // namespace
