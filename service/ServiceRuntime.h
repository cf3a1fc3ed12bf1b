// The service's work as it runs today, behind the owner the delegate creates: the core
// controller for the user's home, following mounts and unmounts, and the progress window of
// bring-online requests. Main thread only.
#pragma once

#include <cstdint>
#include <string>

#include "ServiceOwner.h"
#include "dispatch/SequenceChecker.h"

class ShellExtentionController;

class ServiceRuntime : public ServiceOwner {
 public:
  // Creates the core controller for home (not yet started) and subscribes to mounts.
  explicit ServiceRuntime(const std::string& home);
  // Unsubscribes, drops the shared bring-online controller and releases the core controller.
  ~ServiceRuntime() override;
  ServiceRuntime(const ServiceRuntime&) = delete;
  ServiceRuntime& operator=(const ServiceRuntime&) = delete;

  void startController() override;

 private:
  ShellExtentionController* controller_ = nullptr;
  uint64_t didMount_ = 0;
  uint64_t didUnmount_ = 0;
  platform::dispatch::SequenceChecker mainThread_;
};
