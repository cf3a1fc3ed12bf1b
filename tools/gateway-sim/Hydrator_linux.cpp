#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "Hydrator.h"
#include "StubFiles.h"

namespace pellora::gatewaysim {

struct Hydrator::Job {
  std::string rel;
  // Becomes readable when the job is done, for every waiter.
  int doneFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::atomic<int> result{0};
  ~Job() {
    if (doneFd >= 0) ::close(doneFd);
  }
};

namespace {

int writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

void finish(Hydrator::Job& job) {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(job.doneFd, &one, sizeof one);
}

}  // namespace

Hydrator::Hydrator(std::string mountPoint, std::string cloudRoot, const StopSignal& stop,
                   Counters& counters)
    : mountPoint_(std::move(mountPoint)),
      cloudRoot_(std::move(cloudRoot)),
      stop_(stop),
      counters_(counters) {}

Hydrator::~Hydrator() { stop(); }

void Hydrator::start() {
  std::lock_guard lock(mutex_);
  if (worker_.joinable()) return;
  stopping_ = false;
  worker_ = std::thread([this] { serve(); });
}

void Hydrator::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

int Hydrator::hydrate(const std::string& rel) {
  std::shared_ptr<Job> job;
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || stop_.triggered()) return EINTR;
    auto& slot = pending_[rel];
    if (!slot) {
      slot = std::make_shared<Job>();
      slot->rel = rel;
      if (slot->doneFd < 0) {
        pending_.erase(rel);
        return EIO;
      }
      queue_.push_back(slot);
    }
    job = slot;
  }
  wake_.notify_one();
  if (!stop_.waitReadable(job->doneFd)) return EINTR;
  return job->result.load();
}

void Hydrator::serve() {
  workerTid_ = ::gettid();
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) break;
    auto job = queue_.front();
    queue_.pop_front();
    lock.unlock();
    job->result = bringOnline(job->rel);
    lock.lock();
    // A later request for the file starts a new download: this one has finished.
    pending_.erase(job->rel);
    finish(*job);
  }
  for (const auto& job : queue_) {
    job->result = EINTR;
    finish(*job);
  }
  queue_.clear();
  pending_.clear();
  workerTid_ = 0;
}

int Hydrator::bringOnline(const std::string& rel) {
  const std::string cloud = cloudRoot_ + "/" + rel;
  const std::string target = mountPoint_ + "/" + rel;
  // A caller that saw the stub just before an earlier download finished lands here. A file
  // that cannot be looked at through the mount (gone, or the mount detached) is not online.
  const StubTest test = testStubFile(target);
  if (test.error) return test.error;
  if (!test.stub) return 0;
  const int in = ::open(cloud.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  const int out = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (out < 0) {
    const int err = errno;
    ::close(in);
    return err;
  }
  int err = 0;
  std::vector<char> buf(1 << 20);
  for (;;) {
    const ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    err = writeAll(out, buf.data(), static_cast<size_t>(n));
    if (err) break;
  }
  ::close(in);
  if (::close(out) != 0 && !err) err = errno;
  if (err) return err;
  if (::removexattr(target.c_str(), kStubAttribute) != 0 && errno != ENODATA) return errno;
  counters_.countDownload(rel);
  return 0;
}

}  // namespace pellora::gatewaysim
