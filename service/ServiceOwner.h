// What the service's delegate creates once it holds the lock: the owner of the service's work
// (the core controller, mount following, request dispatch). It is built on the main thread,
// started once, and destroyed on the main thread when the application terminates.
#pragma once

class ServiceOwner {
 public:
  virtual ~ServiceOwner() = default;
  // Starts the core controller it owns: the TCP server, the port file, the share watchers.
  virtual void startController() = 0;
};
