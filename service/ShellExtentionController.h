// The service's owner of the core: creates the core controller for the user's home, follows
// mounts and unmounts, keeps the gateway share roots that preview control uses, takes the shares
// the permission status finds readable into the watch list, and is what the extensions' folder
// visits and network-access reports reach. It publishes what the command line shows of the
// running service (ServiceStatusFile): the watched shares and the connected extensions. One for
// the life of the service, on the main thread.
//
// It bears the core controller's name in the service's own namespace.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ServiceOwner.h"
#include "ZVFileManager.h"
#include "dispatch/SequenceChecker.h"
#include "finder/CommunicationFileManager.h"
#include "finder/PermissionStatus.h"
#include "mounts/MountNotifier.h"

class ShellExtentionController;  // the core's

namespace service {

class ShellExtentionController : public ServiceOwner,
                                 public PermissionStatusDelegate,
                                 public std::enable_shared_from_this<ShellExtentionController> {
 public:
  using UserInfo = platform::mounts::MountNotifier::UserInfo;

  // init(): everything but the start of the core, which the delegate asks for next.
  static std::shared_ptr<ShellExtentionController> create(const std::string& home);
  // Releases the core controller and stops following the communication folder and mounts.
  ~ShellExtentionController() override;
  ShellExtentionController(const ShellExtentionController&) = delete;
  ShellExtentionController& operator=(const ShellExtentionController&) = delete;

  void startController() override;

  void didMount(const UserInfo& info);
  void didUnMount(const UserInfo& info);
  void monitorAllowedShares(const std::vector<std::string>& paths) override;
  void refreshShares(const std::vector<std::string>& paths) override;

  const std::shared_ptr<CommunicationFileManager>& commFileManager() const { return commFileManager_; }
  // Writes the status file now.
  void publishStatus();

 private:
  ShellExtentionController() = default;
  void init(const std::string& home);

  ::ShellExtentionController* mShellExController = nullptr;
  std::string home_;
  std::string version_;
  std::string build_;
  std::shared_ptr<ZVFileManager> zvFileManager_;
  std::shared_ptr<CommunicationFileManager> commFileManager_;
  uint64_t didMountSubscription_ = 0;
  uint64_t didUnmountSubscription_ = 0;
  platform::dispatch::SequenceChecker mainThread_;
};

}  // namespace service
