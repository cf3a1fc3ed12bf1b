#include "DownloadFileProcess/MessageWindow.h"

#include <QFile>
#include <QPixmap>
#include <QMouseEvent>
#include <QUiLoader>

#include "ui/Application.h"

namespace {

// Builds our own classes where the resource names them.
class Loader : public QUiLoader {
 public:
  QWidget* createWidget(const QString& className, QWidget* parent, const QString& name) override {
    QWidget* widget = nullptr;
    if (className == "MessageWindow") {
      widget = new MessageWindow(parent);
    } else if (className == "CircleAnimationView") {
      widget = new CircleAnimationView(parent);
    } else {
      return QUiLoader::createWidget(className, parent, name);
    }
    widget->setObjectName(name);
    return widget;
  }
};

}  // namespace

MessageWindow::MessageWindow(QWidget* parent) : QWidget(parent) {
  // Floats above the file manager's windows, and moves when its background is dragged.
  setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint | Qt::FramelessWindowHint);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Window);
}

std::shared_ptr<MessageWindow> MessageWindow::loadFromNib(const platform::bundle::Bundle& bundle) {
  return loadFromNib(bundle, Settings{});
}

std::shared_ptr<MessageWindow> MessageWindow::loadFromNib(const platform::bundle::Bundle& bundle,
                                                          Settings settings) {
  const auto path = bundle.pathForResource("MessageWindow", "ui");
  if (!path) return nullptr;
  QFile file(QString::fromStdString(*path));
  if (!file.open(QIODevice::ReadOnly)) return nullptr;
  Loader loader;
  QWidget* top = loader.load(&file);
  auto* window = dynamic_cast<MessageWindow*>(top);
  if (!window) {
    delete top;
    return nullptr;
  }
  window->circleAnimationView = window->findChild<CircleAnimationView*>("circleAnimationView");
  window->mainLabel = window->findChild<QLabel*>("mainLabel");
  window->mainButton = window->findChild<QPushButton*>("mainButton");
  window->secondaryButton = window->findChild<QPushButton*>("secondaryButton");
  window->settings_ = std::move(settings);
  window->awakeFromNib();
  return std::shared_ptr<MessageWindow>(window);
}

void MessageWindow::awakeFromNib() {
  for (QPushButton* button : {mainButton.data(), secondaryButton.data()}) {
    if (!button) continue;
    button->setFlat(true);
    button->setStyleSheet("background-color: transparent; border: none;");
  }
}

QString MessageWindow::text() const { return mainLabel ? mainLabel->text() : QString(); }

void MessageWindow::setText(const QString& text) {
  if (!mainLabel) return;
  mainLabel->setText(text);
  snapshot();
}

void MessageWindow::snapshot() {
  if (settings_.snapshotFolder.empty()) return;
  // Numbered across the windows of the process, so that a later window adds to the pictures.
  static int count = 0;
  grab().save(QString("%1/message-window-%2.png")
                  .arg(QString::fromStdString(settings_.snapshotFolder))
                  .arg(++count, 2, 10, QChar('0')));
}

QString MessageWindow::mainButtonText() const { return mainButton ? mainButton->text() : QString(); }

void MessageWindow::setMainButtonText(const QString& text) {
  if (mainButton) mainButton->setText(text);
}

QString MessageWindow::secondaryButtonText() const {
  return secondaryButton ? secondaryButton->text() : QString();
}

void MessageWindow::setSecondaryButtonText(const QString& text) {
  if (secondaryButton) secondaryButton->setText(text);
}

void MessageWindow::setMainButton(std::function<void()> action) {
  if (!mainButton) return;
  disconnect(mainConnection_);
  mainConnection_ = connect(mainButton, &QPushButton::clicked, [action] { action(); });
}

void MessageWindow::setSecondaryButton(std::function<void()> action) {
  if (!secondaryButton) return;
  disconnect(secondaryConnection_);
  secondaryConnection_ = connect(secondaryButton, &QPushButton::clicked, [action] { action(); });
}

void MessageWindow::updateProgress(double progress) {
  if (!circleAnimationView || !circleAnimationView->circleLayer()) return;
  auto& layer = *circleAnimationView->circleLayer();
  if (progress < layer.strokeEnd || progress > 1.0) return;
  const bool halfWay = layer.strokeEnd < 0.5 && progress >= 0.5 && progress < 1.0;
  layer.strokeEnd = progress;
  layer.strokeColor = QColor::fromRgbF(static_cast<float>(1.0 - progress), static_cast<float>(progress), 0.0f, 1.0f);
  circleAnimationView->update();
  if (halfWay) snapshot();
}

void MessageWindow::resetProgress() {
  if (!circleAnimationView || !circleAnimationView->circleLayer()) return;
  auto& layer = *circleAnimationView->circleLayer();
  layer.strokeEnd = 0.0;
  layer.strokeColor = CircleAnimationView::kSystemGreen;
  circleAnimationView->update();
}

void MessageWindow::markError() {
  if (!circleAnimationView || !circleAnimationView->circleLayer()) return;
  circleAnimationView->circleLayer()->strokeColor = CircleAnimationView::kSystemRed;
  circleAnimationView->update();
}

void MessageWindow::makeKeyAndOrderFront() {
  show();
  // The offscreen platform has no stacking or focus to give.
  if (platform::ui::Application::isOffscreen()) return;
  raise();
  activateWindow();
}

void MessageWindow::mousePressEvent(QMouseEvent* event) {
  dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void MessageWindow::mouseMoveEvent(QMouseEvent* event) {
  if (event->buttons() & Qt::LeftButton) move(event->globalPosition().toPoint() - dragOffset_);
}
