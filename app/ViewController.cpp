#include "ViewController.h"

#include <QCloseEvent>
#include <QEvent>
#include <QFile>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QUiLoader>
#include <QUrl>
#include <cmath>

#include "ServiceEnableHandler.h"
#include "dispatch/Queue.h"
#include "log/Log.h"
#include "loginitems/LoginItems.h"
#include "text/Format.h"
#include "workspace/Workspace.h"

namespace {

using platform::dispatch::mainQueue;

const platform::log::Log& windowLog() {
  static const platform::log::Log log("com.zavro.Pellora", "StatusWindow");
  return log;
}

// Builds our own classes where the resource names them.
class Loader : public QUiLoader {
 public:
  QWidget* createWidget(const QString& className, QWidget* parent, const QString& name) override {
    if (className != "ZVButton") return QUiLoader::createWidget(className, parent, name);
    auto* button = new ZVButton(parent);
    button->setObjectName(name);
    return button;
  }
};

QString qt(const std::string& text) { return QString::fromStdString(text); }

// Sizes are in the platform's points: one pixel each at the normal scale.
QFont fontOfSize(int pixels) {
  QFont font = QGuiApplication::font();
  font.setPixelSize(pixels);
  return font;
}

}  // namespace

// The window's life cycle as the platform tells it.
class ViewController::WindowEvents : public QObject {
 public:
  explicit WindowEvents(ViewController& controller) : controller_(controller) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != controller_.window()) return false;
    switch (event->type()) {
      case QEvent::Show:
        controller_.viewWillAppear();
        break;
      case QEvent::Hide:
        controller_.viewDidDisappear();
        break;
      case QEvent::Close:
        if (controller_.windowClosed_) mainQueue()->async(controller_.windowClosed_);
        break;
      default:
        break;
    }
    return false;
  }

 private:
  ViewController& controller_;
};

ViewController::ViewController(const platform::bundle::Bundle& bundle, Settings settings)
    : bundle_(bundle),
      settings_(std::move(settings)),
      service_(settings_.serviceControl ? settings_.serviceControl : std::make_shared<ServiceControl>()),
      probe_(service_, {settings_.pluginTool, settings_.home}),
      zvFileManager_(std::make_shared<ZVFileManager>()),
      model_([this](const std::string& key) { return localized(key); }) {}

ViewController::~ViewController() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (refreshTimer_) refreshTimer_->stop();
  QObject::disconnect(activeConnection_);
  if (window_ && events_) window_->removeEventFilter(events_);
  delete events_;
  delete guidance_.data();
}

std::shared_ptr<ViewController> ViewController::instantiate(const platform::bundle::Bundle& bundle) {
  return instantiate(bundle, Settings{});
}

std::shared_ptr<ViewController> ViewController::instantiate(const platform::bundle::Bundle& bundle,
                                                            Settings settings) {
  std::shared_ptr<ViewController> controller(new ViewController(bundle, std::move(settings)));
  if (!controller->load()) return nullptr;
  controller->viewDidLoad();
  return controller;
}

bool ViewController::load() {
  const auto path = bundle_.pathForResource("Main", "ui");
  if (!path) {
    windowLog().error("The interface resource Main is missing from " + bundle_.resourcePath());
    return false;
  }
  QFile file(qt(*path));
  if (!file.open(QIODevice::ReadOnly)) return false;
  Loader loader;
  std::unique_ptr<QWidget> top(loader.load(&file));
  if (!top) return false;
  if (top->objectName() != "MainWindow") {
    QWidget* named = top->findChild<QWidget*>("MainWindow");
    if (!named) {
      windowLog().error("The interface resource Main holds no window MainWindow");
      return false;
    }
    named->setParent(nullptr);
    top.reset(named);
  }
  window_ = std::move(top);
  versionTxt = window_->findChild<QLabel*>("versionTxt");
  enableCheckBox = window_->findChild<ZVButton*>("enableCheckBox");
  autoStartCheckBox = window_->findChild<QAbstractButton*>("autoStartCheckBox");
  disablePreviewCheckbox = window_->findChild<QAbstractButton*>("disablePreviewCheckbox");
  makeSureTextFieldCell = window_->findChild<QLabel*>("makeSureTextFieldCell");
  if (!enableCheckBox || !qobject_cast<QVBoxLayout*>(window_->layout())) {
    windowLog().error("The window MainWindow lacks the enable switch or its layout");
    return false;
  }
  bindActions();
  events_ = new WindowEvents(*this);
  window_->installEventFilter(events_);
  return true;
}

// Each control names the controller's operation it calls in its "action" property, as the
// resource's targets and actions do.
void ViewController::bindActions() {
  for (QAbstractButton* button : window_->findChildren<QAbstractButton*>()) {
    const QString action = button->property("action").toString();
    if (action.isEmpty()) continue;
    void (ViewController::*operation)() = nullptr;
    if (action == "toggle:") {
      operation = &ViewController::toggle;
    } else if (action == "disablePreviewAction:") {
      operation = &ViewController::disablePreviewAction;
    } else if (action == "openLink:") {
      operation = &ViewController::openLink;
      helpLink_ = button;
    } else if (action == "openAutomationSettings") {
      operation = &ViewController::openAutomationSettings;
    } else {
      windowLog().error("The window MainWindow names an unknown action " + action.toStdString());
      continue;
    }
    QObject::connect(button, &QAbstractButton::clicked, button, [this, operation] { (this->*operation)(); });
  }
}

void ViewController::viewDidLoad() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  installStatusView();
  if (versionTxt) {
    versionTxt->setText(qt(localized("Version: ") + bundle_.infoString("CFBundleShortVersionString").value_or("")));
  }
  const bool running = service_->serviceApplicationRuns();
  enableCheckBox->setChecked(running);
  if (autoStartCheckBox) autoStartCheckBox->setChecked(running);
  if (service_->isEnabledForced()) {
    enableCheckBox->setEnabled(false);
    enableCheckBox->setToolTip(qt(localized("Managed by your administrator")));
  }
  const auto preview = zvFileManager_->previewStateEnabled();
  if (disablePreviewCheckbox) disablePreviewCheckbox->setChecked(preview == false);
  // Creates the communication file, with the preview allowed.
  if (!preview) zvFileManager_->setPreviewStateEnabled(true);
  if (disablePreviewCheckbox) disablePreviewCheckbox->setEnabled(running);
}

void ViewController::viewWillAppear() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  refreshStatus();
  if (!refreshTimer_) {
    refreshTimer_ = new QTimer(window_.get());
    refreshTimer_->setInterval(settings_.timing.refreshInterval);
    QObject::connect(refreshTimer_, &QTimer::timeout, window_.get(), [this] { refreshStatus(); });
  }
  refreshTimer_->start();
  QObject::disconnect(activeConnection_);
  activeConnection_ = QObject::connect(qGuiApp, &QGuiApplication::applicationStateChanged, window_.get(),
                                       [this](Qt::ApplicationState state) {
                                         if (state == Qt::ApplicationActive) appBecameActive();
                                       });
}

void ViewController::viewDidDisappear() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (refreshTimer_) {
    refreshTimer_->stop();
    refreshTimer_->deleteLater();
    refreshTimer_ = nullptr;
  }
  QObject::disconnect(activeConnection_);
}

void ViewController::appBecameActive() {
  updateExtensionState(true);
  refreshStatus();
}

void ViewController::toggle() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  ZVButton* checkBox = enableCheckBox;
  checkBox->disableMouseDown = true;
  startToggleTimer(checkBox);
  const bool on = checkBox->isChecked();
  service_->updateUserDefaults(on);

  model_.restartInProgress = true;
  checkBox->setEnabled(false);
  model_.forgetShown();
  refreshStatus();

  const std::weak_ptr<ViewController> weak = weak_from_this();
  mainQueue()->asyncAfter(settings_.timing.handleEnabledDelay, [weak] {
    const auto self = weak.lock();
    if (!self) return;
    self->service_->handleEnabled(false, [weak] {
      mainQueue()->async([weak] {
        if (const auto self = weak.lock()) self->setRestartInProgress(false);
      });
    });
  });

  if (autoStartCheckBox) autoStartCheckBox->setChecked(on);
  if (disablePreviewCheckbox) disablePreviewCheckbox->setEnabled(on);
}

void ViewController::startToggleTimer(ZVButton* checkBox) {
  QPointer<ZVButton> guarded(checkBox);
  QTimer::singleShot(settings_.timing.toggleGuard, checkBox, [guarded] {
    if (guarded) guarded->disableMouseDown = false;
  });
}

void ViewController::disablePreviewAction() {
  if (!disablePreviewCheckbox) return;
  // A checked box asks for the preview to be off.
  zvFileManager_->setPreviewStateEnabled(!disablePreviewCheckbox->isChecked());
}

void ViewController::setRestartInProgress(bool value) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  model_.restartInProgress = value;
  if (!value) {
    model_.quietUntil = StatusModel::Clock::now() + settings_.timing.quietPeriod;
    model_.extensionEnabled.reset();
    updateExtensionState(true);
    if (!service_->isEnabledForced()) enableCheckBox->setEnabled(true);
  } else {
    enableCheckBox->setEnabled(false);
  }
  model_.forgetShown();
  refreshStatus();
}

void ViewController::restartService(std::function<void(bool)> done) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (model_.restartInProgress) return;
  model_.restartInProgress = true;
  enableCheckBox->setEnabled(false);
  model_.forgetShown();
  refreshStatus();
  const std::weak_ptr<ViewController> weak = weak_from_this();
  service_->restartServiceFromApp([weak, done = std::move(done)](bool result) {
    mainQueue()->async([weak, done, result] {
      const auto self = weak.lock();
      if (!self) return;
      if (done) done(result);
      self->setRestartInProgress(false);
    });
  });
}

void ViewController::perform(ProblemAction action) {
  switch (action) {
    case ProblemAction::openLoginItemsSettings:
      return openLoginItemsSettings();
    case ProblemAction::fixService:
      return fixService();
    case ProblemAction::fixNetworkAccess:
      return fixNetworkAccess();
    case ProblemAction::fixFinderControl:
      return fixFinderControl();
    case ProblemAction::openExtensionSettings:
      return openExtensionSettings();
    case ProblemAction::openLink:
      return openLink();
  }
}

void ViewController::fixService() { restartService(nullptr); }

void ViewController::fixNetworkAccess() {
  if (model_.networkFixTried) return openPrivacySettings("Privacy_FilesAndFolders");
  const std::weak_ptr<ViewController> weak = weak_from_this();
  restartService([weak](bool result) {
    if (const auto self = weak.lock(); self && result) self->model_.networkFixTried = true;
  });
}

void ViewController::fixFinderControl() {
  if (model_.finderFixTried) return openPrivacySettings("Privacy_Automation");
  const std::weak_ptr<ViewController> weak = weak_from_this();
  restartService([weak](bool result) {
    if (const auto self = weak.lock(); self && result) self->model_.finderFixTried = true;
  });
}

void ViewController::openAutomationSettings() { openPrivacySettings("Privacy_Automation"); }

void ViewController::openLoginItemsSettings() { showGuidance(SettingsPage::LoginItems); }

void ViewController::openExtensionSettings() { showGuidance(SettingsPage::Extensions); }

void ViewController::openLink() {
  if (!platform::workspace::openURL(kHelpPageURL)) {
    windowLog().error(std::string("The help page cannot be opened: ") + kHelpPageURL);
  }
}

void ViewController::openPrivacySettings(const std::string& anchor) {
  const QUrl url(qt(kPrivacySettingsURL + anchor), QUrl::StrictMode);
  if (!url.isValid()) return;
  if (const auto page = settingsPageForAnchor(anchor)) showGuidance(*page);
}

void ViewController::showGuidance(SettingsPage page) {
  const Guidance guidance =
      guidanceFor(page, platform::loginitems::LoginItems().entryPath(kServiceBundleIdentifier));
  const std::string text = platform::text::format(localized(guidance.key, guidance.text), {guidance.argument});
  if (!guidance_) {
    guidance_ = new QMessageBox(QMessageBox::Information, qt(localized("Zavro Pellora")), QString(),
                                QMessageBox::Ok, window_.get());
    guidance_->setWindowModality(Qt::NonModal);
  }
  guidance_->setText(qt(text));
  guidance_->show();
}

QString ViewController::guidanceText() const {
  return guidance_ && guidance_->isVisible() ? guidance_->text() : QString();
}

void ViewController::updateExtensionState(bool force) {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  if (!model_.extensionCheckDue(StatusModel::Clock::now(), settings_.timing.extensionCheckInterval, force)) return;
  const std::weak_ptr<ViewController> weak = weak_from_this();
  const uint64_t check = ++extensionCheck_;
  platform::dispatch::globalQueue(platform::dispatch::QoS::Utility)->async([weak, check, probe = probe_] {
    // Never the last owner here: the controller must go on the main thread.
    const std::optional<bool> state = weak.expired() ? std::nullopt : probe.extensionEnabled();
    const bool needsApproval = probe.backgroundNeedsApproval();
    mainQueue()->async([weak, state, needsApproval, check] {
      const auto self = weak.lock();
      if (!self || check != self->extensionCheck_) return;
      self->model_.backgroundNeedsApproval = needsApproval;
      self->model_.extensionEnabled = state;
      self->refreshStatus();
    });
  });
}

std::vector<Problem> ViewController::currentProblems() {
  return model_.currentProblems(probe_, StatusModel::Clock::now());
}

void ViewController::refreshStatus() {
  PELLORA_DCHECK_SEQUENCE(sequence_);
  updateExtensionState(false);
  const auto problems = currentProblems();
  if (!model_.show(problems)) return;
  while (QLayoutItem* item = statusLayout_->takeAt(0)) {
    if (QWidget* old = item->widget()) {
      // A row's own button may be what led here: the row goes once that click is over.
      old->hide();
      old->setParent(nullptr);
      old->deleteLater();
    }
    delete item;
  }
  for (const auto& problem : problems) {
    QWidget* widget = row(problem);
    statusLayout_->addWidget(widget, 0, Qt::AlignLeft);
    // At once, not when the event loop comes round: the height below counts visible rows only.
    widget->show();
  }
  updateWindowHeight();
  if (rowsChanged_) rowsChanged_();
}

QWidget* ViewController::row(const Problem& problem) {
  auto* widget = new QWidget;
  auto* layout = new QHBoxLayout(widget);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(10);
  auto* label = new QLabel(qt(problem.text));
  label->setObjectName("problemText");
  label->setWordWrap(true);
  label->setFont(fontOfSize(12));
  // Wrapped at 360 at most, and as tall as the wrapped text: box layouts do not work out the
  // height of wrapping text beside other widgets by themselves.
  const QRect wrapped = label->fontMetrics().boundingRect(QRect(0, 0, 360, 100000), Qt::TextWordWrap, label->text());
  label->setFixedWidth(std::min(360, wrapped.width() + 2));
  label->setMinimumHeight(label->heightForWidth(label->width()));
  auto* button = new QPushButton(qt(problem.button));
  button->setObjectName("problemButton");
  button->setFont(fontOfSize(11));
  button->setEnabled(!model_.restartInProgress);
  const std::weak_ptr<ViewController> weak = weak_from_this();
  QObject::connect(button, &QPushButton::clicked, widget, [weak, action = problem.action] {
    if (const auto self = weak.lock()) self->perform(action);
  });
  layout->addWidget(label, 0, Qt::AlignVCenter);
  layout->addWidget(button, 0, Qt::AlignVCenter);
  return widget;
}

void ViewController::installStatusView() {
  auto* layout = static_cast<QVBoxLayout*>(window_->layout());
  int index = layout->count();
  if (makeSureTextFieldCell) {
    makeSureTextFieldCell->hide();
    index = layout->indexOf(makeSureTextFieldCell) + 1;
  }
  // The list and, 16 below it, the help link take the placeholder's place.
  auto* area = new QWidget;
  auto* areaLayout = new QVBoxLayout(area);
  areaLayout->setContentsMargins(0, 0, 0, 0);
  areaLayout->setSpacing(16);
  statusStack = new QWidget(area);
  statusStack->setObjectName("statusStack");
  statusStack->setMaximumWidth(480);
  statusLayout_ = new QVBoxLayout(statusStack);
  statusLayout_->setContentsMargins(0, 0, 0, 0);
  statusLayout_->setSpacing(6);
  areaLayout->addWidget(statusStack, 0, Qt::AlignHCenter);
  if (helpLink_) {
    const int at = layout->indexOf(helpLink_);
    if (at >= 0 && at < index) --index;
    layout->removeWidget(helpLink_);
    helpLink_->setParent(area);
    areaLayout->addWidget(helpLink_, 0, Qt::AlignHCenter);
  }
  layout->insertWidget(std::min(index, layout->count()), area);
  // The window's height is set from the list (updateWindowHeight), not by the layout.
  layout->setSizeConstraint(QLayout::SetNoConstraint);
  QMargins margins = layout->contentsMargins();
  margins.setBottom(13);
  layout->setContentsMargins(margins);
}

void ViewController::updateWindowHeight() {
  // Layouts of child widgets tell their parents of a change only when the event loop comes
  // round; the height is wanted now.
  for (QWidget* widget = statusStack; widget && widget != window_.get(); widget = widget->parentWidget()) {
    if (widget->layout()) widget->layout()->activate();
    widget->updateGeometry();
  }
  QLayout* layout = window_->layout();
  layout->invalidate();
  layout->activate();
  const int width = window_->width();
  const int fitting = layout->hasHeightForWidth() ? layout->totalHeightForWidth(width)
                                                  : layout->totalSizeHint().height();
  if (fitting <= 0 || std::abs(fitting - window_->height()) <= 1) return;
  // Minimum and maximum at once; the top edge stays where it is.
  window_->setFixedSize(width, fitting);
}

std::string ViewController::localized(const std::string& key, const std::string& value) const {
  return bundle_.localizedString(key, value);
}
