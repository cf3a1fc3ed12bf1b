// The application's delegate: decides at launch whether this is an ordinary start or a version
// check ("checkVersion"), stops the service copies of an older version after an update,
// applies the enable key, starts the updater, and only then turns the application from a
// background process without a window into a regular one with its status window.
//
// Main thread only.
#pragma once

#include <QImage>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "UpdateDelegate.h"
#include "ViewController.h"
#include "dispatch/SequenceChecker.h"
#include "updater/SPUStandardUpdaterController.h"

class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
 public:
  enum class ActivationPolicy { Accessory, Regular };

  struct Settings {
    // The program's arguments, the program first; empty: this process's.
    std::vector<std::string> arguments{};
    platform::updater::UpdaterEnvironment updater{};
    ViewController::Settings view{};
    // Gets a picture of the status window each time it is brought up (the demo, headless
    // machines). Empty: no pictures.
    std::string snapshotFolder{};
    // Called right before the updater starts the new version, so that it finds no running
    // copy to hand itself to.
    std::function<void()> beforeRelaunch{};
    // Ends the event loop; empty: platform::ui::Application::quit.
    std::function<void()> quit{};
  };

  // This launch is a version check.
  static inline bool isChecker = false;

  AppDelegate();
  explicit AppDelegate(Settings settings);
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  const std::string tokenLog = "Zarvo Launcher";
  std::shared_ptr<UpdateDelegate> updateDelegate;

  void applicationDidFinishLaunching();
  bool applicationShouldHandleReopen(bool hasVisibleWindows);
  bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
  void applicationWillTerminate();
  // applicationWillTerminate (once), then the end of the event loop.
  void terminate();

  ActivationPolicy activationPolicy() const { return policy_; }
  // The status window's controller once it was created.
  const std::shared_ptr<ViewController>& windowController() const { return controller_; }
  platform::updater::SPUStandardUpdaterController& updaterController();

 private:
  void finishLaunchLogic();
  void setAppPolicyToRegular();
  void switchPolicyToRegularIfNeeded();
  ViewController* controller();
  void snapshot();

  Settings settings_;
  platform::dispatch::SequenceChecker sequence_;
  std::unique_ptr<platform::updater::SPUStandardUpdaterController> updaterController_;
  std::shared_ptr<ViewController> controller_;
  ActivationPolicy policy_ = ActivationPolicy::Accessory;
  bool terminating_ = false;
  int snapshots_ = 0;
  QImage lastSnapshot_;  // a picture like the last one is not kept again
};
