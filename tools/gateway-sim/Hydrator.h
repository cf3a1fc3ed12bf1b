// Brings stubs online the way a gateway's own change would show: the cloud content is written
// and the stub marker removed through the mount point, by a thread of this process, so that
// inotify watchers of the mount see IN_MODIFY/IN_CLOSE_WRITE and IN_ATTRIB. The file system
// recognises that thread's calls (isInternal) and spares them faults and counters. Those calls
// are served by other threads of the multi-threaded FUSE loop while the asking call waits.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Counters.h"
#include "StopSignal.h"

namespace pellora::gatewaysim {

class Hydrator {
 public:
  // Finished downloads are counted in counters.
  Hydrator(std::string mountPoint, std::string cloudRoot, const StopSignal& stop,
           Counters& counters);
  ~Hydrator();
  Hydrator(const Hydrator&) = delete;
  Hydrator& operator=(const Hydrator&) = delete;

  void start();
  // Joins the worker; its calls on the mount must be able to finish (loop still serving, or
  // the connection aborted by unmounting).
  void stop();

  // Copies cloud/rel into mountPoint/rel and removes the stub marker, unless the file is no
  // longer a stub by then; waits for it. Calls for a file already on its way join that
  // download. 0 when the file is online, or the errno that stopped it (EINTR when the
  // simulator is shutting down).
  int hydrate(const std::string& rel);

  // True when tid (a FUSE caller's thread id) is the worker.
  bool isInternal(pid_t tid) const { return tid != 0 && tid == workerTid_.load(); }

  struct Job;

 private:
  void serve();
  int bringOnline(const std::string& rel);

  const std::string mountPoint_;
  const std::string cloudRoot_;
  const StopSignal& stop_;
  Counters& counters_;
  std::atomic<pid_t> workerTid_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> queue_;
  std::map<std::string, std::shared_ptr<Job>> pending_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace pellora::gatewaysim
