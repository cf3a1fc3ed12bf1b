// Sinks on Linux: the systemd journal when its socket exists, else stderr; a record the journal
// does not take goes to stderr.
// PELLORA_LOG=stderr sends records to stderr even where a journal runs (the demo uses it);
// PELLORA_LOG=none keeps them to the captures (benchmarks).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "log/Capture.h"
#include "log/Journal.h"
#include "log/Log.h"

namespace platform::log {
namespace {

std::mutex& capturesMutex() {
  static std::mutex m;
  return m;
}

std::vector<Capture*>& captures() {
  static std::vector<Capture*> list;
  return list;
}

enum class Sink { Journal, Stderr, None };

std::atomic<bool> gOffStderr{false};

Sink processSink() {
  static const Sink sink = [] {
    const char* mode = std::getenv("PELLORA_LOG");
    if (mode && std::strcmp(mode, "stderr") == 0) return Sink::Stderr;
    if (mode && std::strcmp(mode, "none") == 0) return Sink::None;
    struct stat st {};
    if (::stat(JournalWriter::kSocketPath, &st) == 0) return Sink::Journal;
    return gOffStderr ? Sink::None : Sink::Stderr;
  }();
  return sink;
}

void toStderr(const Record& r) {
  // One write per record so that lines of several threads do not mix.
  std::string line = std::string(program_invocation_short_name) + "[" + std::to_string(getpid()) + "]";
  if (!r.subsystem.empty()) line += " " + r.subsystem + ":" + r.category;
  if (r.level == Level::Error) line += " <error>";
  line += " " + r.message + "\n";
  const int saved = errno;
  [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
  errno = saved;
}

}  // namespace

void keepOffStderr() { gOffStderr = true; }

void installCapture(Capture* capture) {
  std::lock_guard lock(capturesMutex());
  captures().push_back(capture);
}

void removeCapture(Capture* capture) {
  std::lock_guard lock(capturesMutex());
  auto& list = captures();
  list.erase(std::remove(list.begin(), list.end(), capture), list.end());
}

void emit(const Record& record) {
  {
    std::lock_guard lock(capturesMutex());
    for (Capture* c : captures()) c->add(record);
  }
  switch (processSink()) {
    case Sink::Journal: {
      static const JournalWriter journal;
      if (!journal.write(record) && !gOffStderr) toStderr(record);
      break;
    }
    case Sink::Stderr:
      toStderr(record);
      break;
    case Sink::None:
      break;
  }
}

}  // namespace platform::log
