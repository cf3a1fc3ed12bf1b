#include "AppDelegate.h"

#include <QApplication>
#include <QPixmap>

#include "AppBundle.h"
#include "ServiceEnableHandler.h"
#include "dispatch/Queue.h"
#include "log/Log.h"
#include "process/Process.h"
#include "ui/Application.h"

namespace {

using platform::dispatch::mainQueue;
using namespace std::chrono_literals;

}  // namespace

AppDelegate::AppDelegate() : AppDelegate(Settings{}) {}

AppDelegate::AppDelegate(Settings settings)
    : updateDelegate(std::make_shared<UpdateDelegate>()), settings_(std::move(settings)) {
  if (settings_.arguments.empty()) settings_.arguments = platform::process::arguments();
  if (!settings_.quit) settings_.quit = [] { platform::ui::Application::quit(); };
}

AppDelegate::~AppDelegate() { PELLORA_DCHECK_SEQUENCE(sequence_); }

void AppDelegate::applicationDidFinishLaunching() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  const auto& args = settings_.arguments;
  isChecker = args.size() >= 2 && args[1] == kCheckVersionArgument;
  const std::weak_ptr<AppDelegate> weak = weak_from_this();
  updateDelegate->terminateApplication = [weak] {
    if (const auto self = weak.lock()) self->terminate();
  };
  const bool forceStart = isChecker ? false : UpdateDelegate::stopOldHelperIfAppWasUpdated();
  ServiceEnableHandler::handleEnabled(forceStart, [weak] {
    mainQueue()->async([weak] {
      if (const auto self = weak.lock()) self->finishLaunchLogic();
    });
  });
}

platform::updater::SPUStandardUpdaterController& AppDelegate::updaterController() {
  if (!updaterController_) {
    auto environment = settings_.updater;
    if (environment.hostBundlePath.empty()) {
      if (const auto info = app::appBundleInfo()) environment.hostBundlePath = info->path;
    }
    // The new version must find no running copy to hand itself to.
    auto relaunch = std::move(environment.relaunch);
    environment.relaunch = [before = settings_.beforeRelaunch, relaunch](const std::string& bundlePath) {
      if (before) before();
      if (relaunch) {
        relaunch(bundlePath);
      } else if (!platform::updater::relaunchDetached(bundlePath)) {
        platform::log::classic("Zarvo Launcher cannot start the new version at " + bundlePath);
      }
    };
    updaterController_ = std::make_unique<platform::updater::SPUStandardUpdaterController>(
        false, updateDelegate, std::move(environment));
  }
  return *updaterController_;
}

void AppDelegate::finishLaunchLogic() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (terminating_) return;
  updaterController().startUpdater();
  auto& updater = updaterController().updater();
  updater.setAutomaticallyChecksForUpdates(true);
  updater.checkForUpdatesInBackground();
  // A version check stays without a window and ends with its update cycle.
  if (isChecker) return;
  mainQueue()->async(platform::dispatch::weakly(shared_from_this(), [](AppDelegate& d) { d.setAppPolicyToRegular(); }));
}

ViewController* AppDelegate::controller() {
  if (!controller_) {
    const auto info = app::appBundleInfo();
    if (!info) return nullptr;
    controller_ = ViewController::instantiate(platform::bundle::Bundle(info->path), settings_.view);
    if (!controller_) return nullptr;
    const std::weak_ptr<AppDelegate> weak = weak_from_this();
    controller_->setWindowClosedHandler([weak] {
      const auto self = weak.lock();
      if (self && self->applicationShouldTerminateAfterLastWindowClosed()) self->terminate();
    });
    // A picture of every list the user gets to see, not only of the first one.
    controller_->setRowsChangedHandler([weak] {
      // Once the new rows have been laid out.
      mainQueue()->async([weak] {
        const auto self = weak.lock();
        if (self && self->controller_ && self->controller_->window()->isVisible()) self->snapshot();
      });
    });
  }
  return controller_.get();
}

void AppDelegate::setAppPolicyToRegular() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (terminating_) return;
  policy_ = ActivationPolicy::Regular;
  ViewController* view = controller();
  if (!view) {
    platform::log::classic(tokenLog + " has no status window to show");
    return;
  }
  view->window()->show();
  // There is no Dock to hand the focus over first; the window takes it a moment later, once
  // the desktop has mapped it.
  mainQueue()->asyncAfter(200ms, platform::dispatch::weakly(shared_from_this(), [](AppDelegate& d) {
    if (!d.controller_ || !d.controller_->window()->isVisible()) return;
    if (!platform::ui::Application::isOffscreen()) {
      d.controller_->window()->raise();
      d.controller_->window()->activateWindow();
    }
    d.snapshot();
  }));
}

void AppDelegate::snapshot() {
  if (settings_.snapshotFolder.empty() || !controller_) return;
  QImage picture = controller_->window()->grab().toImage();
  if (picture == lastSnapshot_) return;
  picture.save(QString("%1/status-window-%2.png")
                   .arg(QString::fromStdString(settings_.snapshotFolder))
                   .arg(++snapshots_, 2, 10, QChar('0')));
  lastSnapshot_ = std::move(picture);
}

void AppDelegate::switchPolicyToRegularIfNeeded() {
  if (policy_ != ActivationPolicy::Accessory) return;
  platform::log::classic(tokenLog + " Handling accessory state on reopen");
  setAppPolicyToRegular();
}

bool AppDelegate::applicationShouldHandleReopen(bool) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  platform::log::classic(tokenLog + " applicationShouldHandleReopen");
  switchPolicyToRegularIfNeeded();
  // Being opened again brings the window forward, as activating the application would.
  if (policy_ == ActivationPolicy::Regular && controller_ && !platform::ui::Application::isOffscreen()) {
    controller_->window()->show();
    controller_->window()->raise();
    controller_->window()->activateWindow();
  }
  return true;
}

void AppDelegate::applicationWillTerminate() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (ServiceEnableHandler::loginItemUnregistered && ServiceEnableHandler::userDefaultsHandler(std::nullopt) == true) {
    app::setServiceLoginItemEnabled(true);
  }
}

void AppDelegate::terminate() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (terminating_) return;
  terminating_ = true;
  applicationWillTerminate();
  if (controller_ && controller_->window()) controller_->window()->hide();
  settings_.quit();
}
