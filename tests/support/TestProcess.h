// A program started by a test, with an environment of its own (usually a temporary HOME), its
// output collected in a log file, and stopped however the test ends.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace pellora::testing {

class TestProcess {
 public:
  TestProcess() = default;
  ~TestProcess();
  TestProcess(const TestProcess&) = delete;
  TestProcess& operator=(const TestProcess&) = delete;

  // Starts argv with the current environment plus env (an empty value removes the variable).
  // Output and errors go to logFile. False when the program cannot be started.
  bool start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& logFile);
  bool running();
  pid_t pid() const { return pid_; }
  // SIGTERM, then SIGKILL after the timeout; returns the exit status (-1 for a signal).
  int stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits for the program to end by itself; false on timeout.
  bool waitExit(std::chrono::milliseconds timeout, int* status = nullptr);
  std::string log() const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string logFile_;
};

// Runs argv to its end with env added; returns its exit status and, if asked, its output.
int runToEnd(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             std::string* output = nullptr,
             std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace pellora::testing
