// Sinks on Linux: the systemd journal when its socket exists, else stderr.
// PELLORA_LOG=stderr sends records to stderr even where a journal runs (the demo uses it);
// PELLORA_LOG=none keeps them to the captures (benchmarks).
#include <systemd/sd-journal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
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

Sink processSink() {
  static const Sink sink = [] {
    const char* mode = std::getenv("PELLORA_LOG");
    if (mode && std::strcmp(mode, "stderr") == 0) return Sink::Stderr;
    if (mode && std::strcmp(mode, "none") == 0) return Sink::None;
    struct stat st {};
    return ::stat("/run/systemd/journal/socket", &st) == 0 ? Sink::Journal : Sink::Stderr;
  }();
  return sink;
}

void toJournal(const Record& r) {
  const auto fields = journalFields(r);
  std::vector<iovec> entry;
  entry.reserve(fields.size());
  for (const auto& field : fields) {
    entry.push_back(iovec{const_cast<char*>(field.data()), field.size()});
  }
  sd_journal_sendv(entry.data(), static_cast<int>(entry.size()));
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

std::vector<std::string> journalFields(const Record& record) {
  std::vector<std::string> fields{"MESSAGE=" + record.message,
                                  record.level == Level::Error ? "PRIORITY=3" : "PRIORITY=5"};
  if (record.subsystem.empty()) return fields;
  fields.push_back("LOG_SUBSYSTEM=" + record.subsystem);
  fields.push_back("LOG_CATEGORY=" + record.category);
  return fields;
}

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
    case Sink::Journal:
      toJournal(record);
      break;
    case Sink::Stderr:
      toStderr(record);
      break;
    case Sink::None:
      break;
  }
}

}  // namespace platform::log
