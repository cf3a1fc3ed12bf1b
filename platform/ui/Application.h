// The application object of a program with windows: Qt Widgets, on the offscreen platform when
// no display is there (or QT_QPA_PLATFORM says so), with the main queue bound to Qt's event
// loop so that work posted to the main queue runs between Qt's events.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

class QApplication;
class QObject;

namespace platform::ui {

class Application {
 public:
  Application(int& argc, char** argv);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Runs the event loop until quit().
  int exec();
  static void quit();
  static bool isOffscreen();

  struct MainQueueState;

 private:
  std::unique_ptr<QApplication> app_;
  std::shared_ptr<MainQueueState> mainQueue_;
  std::unique_ptr<QObject> receiver_;
};

// Serves Qt's events (and so the main queue) until done() holds or the timeout passes.
bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

}  // namespace platform::ui
