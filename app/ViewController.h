// The application's status window: the version line, the enable switch, the preview choice and
// the list of what keeps the add-on from working, each with a button that fixes or explains it.
// The controls come from the window "MainWindow" of the bundle's interface resource "Main"
// (Resources/Main.ui); the list is built here from StatusModel, which decides what it holds.
//
// Main thread only. Background work and completions hold the controller weakly and do nothing
// once it is gone.
#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ServiceControl.h"
#include "SettingsGuidance.h"
#include "StatusModel.h"
#include "StatusProbe.h"
#include "ZVButton.h"
#include "ZVFileManager.h"
#include "bundle/Bundle.h"
#include "dispatch/SequenceChecker.h"

class ViewController : public std::enable_shared_from_this<ViewController> {
 public:
  struct Timing {
    std::chrono::milliseconds refreshInterval{2000};
    std::chrono::milliseconds extensionCheckInterval{10000};
    // After a switch or restart, states still settling are not reported.
    std::chrono::milliseconds quietPeriod{5000};
    // A second click on the enable switch within this time is ignored.
    std::chrono::milliseconds toggleGuard{1000};
    std::chrono::milliseconds handleEnabledDelay{100};
  };
  struct Settings {
    std::shared_ptr<ServiceControl> serviceControl{};  // null: the enable handler's own
    std::string pluginTool{};                          // empty: platform::plugins::pluginToolPath()
    std::string home{};                                // empty: ServiceEnableHandler::homeDirectory()
    Timing timing{};
  };

  static constexpr const char* kHelpPageURL = StatusModel::kHelpPageURL;
  static constexpr const char* kPrivacySettingsURL = "x-apple.systempreferences:com.apple.preference.security?";

  // The controller of the window "MainWindow" in the bundle's Resources/Main.ui, loaded
  // (viewDidLoad has run); null when the resource is missing or has no such window.
  static std::shared_ptr<ViewController> instantiate(const platform::bundle::Bundle& bundle);
  static std::shared_ptr<ViewController> instantiate(const platform::bundle::Bundle& bundle,
                                                     Settings settings);
  ~ViewController();
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

  QWidget* window() const { return window_.get(); }
  // Called when the user closes the window.
  void setWindowClosedHandler(std::function<void()> handler) { windowClosed_ = std::move(handler); }
  // Called after the problem rows were rebuilt for a list that differs from the one shown.
  void setRowsChangedHandler(std::function<void()> handler) { rowsChanged_ = std::move(handler); }

  // Outlets.
  QPointer<QLabel> versionTxt;
  QPointer<ZVButton> enableCheckBox;
  QPointer<QAbstractButton> autoStartCheckBox;
  QPointer<QAbstractButton> disablePreviewCheckbox;
  QPointer<QLabel> makeSureTextFieldCell;
  // The status list: one row per problem.
  QPointer<QWidget> statusStack;

  // Window life cycle.
  void viewDidLoad();
  void viewWillAppear();
  void viewDidDisappear();
  void appBecameActive();

  // Actions of the interface resource.
  void toggle();
  void disablePreviewAction();
  void openLink();
  void openAutomationSettings();
  // Actions of the problem buttons.
  void perform(ProblemAction action);
  void fixService();
  void fixNetworkAccess();
  void fixFinderControl();
  void openLoginItemsSettings();
  void openExtensionSettings();

  void refreshStatus();
  std::vector<Problem> currentProblems();
  void updateExtensionState(bool force);

  const StatusModel& model() const { return model_; }
  // The advice shown where the desktop has no settings page; empty while none is shown.
  QString guidanceText() const;

 private:
  class WindowEvents;

  explicit ViewController(const platform::bundle::Bundle& bundle, Settings settings);
  bool load();
  void bindActions();
  void installStatusView();
  QWidget* row(const Problem& problem);
  void updateWindowHeight();
  void restartService(std::function<void(bool)> done);
  void setRestartInProgress(bool value);
  void openPrivacySettings(const std::string& anchor);
  void showGuidance(SettingsPage page);
  void startToggleTimer(ZVButton* checkBox);
  std::string localized(const std::string& key, const std::string& value = "") const;

  platform::bundle::Bundle bundle_;
  Settings settings_;
  std::shared_ptr<ServiceControl> service_;
  StatusProbe probe_;
  std::shared_ptr<ZVFileManager> zvFileManager_;
  StatusModel model_;
  // The newest extension check; checks run side by side and an older one may end last.
  uint64_t extensionCheck_ = 0;
  platform::dispatch::SequenceChecker sequence_;

  std::unique_ptr<QWidget> window_;
  QPointer<QAbstractButton> helpLink_;
  QVBoxLayout* statusLayout_ = nullptr;
  QPointer<QTimer> refreshTimer_;
  QMetaObject::Connection activeConnection_;
  QPointer<QMessageBox> guidance_;
  WindowEvents* events_ = nullptr;
  std::function<void()> windowClosed_;
  std::function<void()> rowsChanged_;
};
