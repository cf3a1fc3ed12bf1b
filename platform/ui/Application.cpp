#include "ui/Application.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "dispatch/Queue.h"

namespace platform::ui {

// Work for the main queue waits here, not inside Qt's events: an event that carried the work
// could be destroyed on the posting thread after the main thread ran it, and with it whatever
// the work captured. Each event only says "run the next one", so work runs and dies on the
// main thread, in order.
struct Application::MainQueueState {
  std::mutex mutex;
  std::deque<dispatch::Work> work;
  QObject* receiver = nullptr;  // guarded by mutex; null once the application goes
};

namespace {

class MainQueueReceiver final : public QObject {
 public:
  explicit MainQueueReceiver(std::shared_ptr<Application::MainQueueState> state)
      : state_(std::move(state)) {}

  bool event(QEvent* e) override {
    if (e->type() != QEvent::User) return QObject::event(e);
    dispatch::Work next;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->work.empty()) return true;
      next = std::move(state_->work.front());
      state_->work.pop_front();
    }
    next();
    return true;
  }

 private:
  std::shared_ptr<Application::MainQueueState> state_;
};

}  // namespace

Application::Application(int& argc, char** argv) {
  const bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
  // A service without a display still runs, headless.
  if (!display && !std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  app_ = std::make_unique<QApplication>(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  mainQueue_ = std::make_shared<MainQueueState>();
  receiver_ = std::make_unique<MainQueueReceiver>(mainQueue_);
  mainQueue_->receiver = receiver_.get();
  dispatch::bindMainQueue([state = mainQueue_](dispatch::Work work) {
    std::lock_guard lock(state->mutex);
    if (!state->receiver) return;  // the application is gone: nobody would run it
    state->work.push_back(std::move(work));
    QCoreApplication::postEvent(state->receiver, new QEvent(QEvent::User));
  });
}

Application::~Application() {
  // Work posted after this point would find no event loop.
  dispatch::bindMainQueue(nullptr);
  std::deque<dispatch::Work> left;
  {
    std::lock_guard lock(mainQueue_->mutex);
    mainQueue_->receiver = nullptr;
    left.swap(mainQueue_->work);
  }
  receiver_.reset();
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
