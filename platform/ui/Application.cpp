#include "ui/Application.h"

#include <QApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>
#include <cstdlib>

#include "dispatch/Queue.h"

namespace platform::ui {

Application::Application(int& argc, char** argv) {
  const bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
  // A service without a display still runs, headless.
  if (!display && !std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  app_ = std::make_unique<QApplication>(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  dispatch::bindMainQueue([](dispatch::Work work) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [work = std::move(work)] { work(); }, Qt::QueuedConnection);
  });
}

Application::~Application() {
  // Work posted after this point would find no event loop.
  dispatch::bindMainQueue(nullptr);
}

int Application::exec() { return QApplication::exec(); }

void Application::quit() { QCoreApplication::quit(); }

bool Application::isOffscreen() { return QGuiApplication::platformName() == "offscreen"; }

bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

}  // namespace platform::ui
