#include "loginitems/LoginItems.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "loginitems/DesktopEntry.h"
#include "paths/Paths.h"
#include "process/Process.h"
#include "workspace/Workspace.h"

namespace platform::loginitems {
namespace fs = std::filesystem;

namespace {

constexpr const char* kEnabledKey = "X-GNOME-Autostart-enabled";
constexpr const char* kBundleKey = "X-Pellora-Bundle";

bool validIdentifier(const std::string& id) {
  return !id.empty() && id[0] != '.' && id.find_first_of("/\n\r") == std::string::npos &&
         id.find('\0') == std::string::npos;
}

std::optional<std::string> readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Temporary file and rename: the session may read the entry at any moment.
bool writeAtomically(const std::string& path, const std::string& text) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::string temp = path + ".tmp.XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0644) == 0;
  size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

bool approvedIn(const DesktopEntry& entry) {
  return entry.value(kEnabledKey).value_or("true") != "false" &&
         entry.value("Hidden").value_or("false") != "true";
}

struct JobRecord {
  pid_t pid = 0;
  uint64_t startTime = 0;
  std::string boot;
};

std::optional<JobRecord> readJob(const std::string& path) {
  std::ifstream in(path);
  JobRecord r;
  if (!(in >> r.pid >> r.startTime >> r.boot) || r.pid <= 0) return std::nullopt;
  return r;
}

// The recorded job is still the process that was started (same boot, same start time).
bool jobRuns(const JobRecord& r) {
  if (r.boot != process::bootIdentifier()) return false;
  const auto stat = process::processStat(r.pid);
  return stat && stat->startTime == r.startTime && stat->state != 'Z' && stat->state != 'X';
}

}  // namespace

std::string_view describe(Status status) {
  switch (status) {
    case Status::NotRegistered: return "not registered";
    case Status::Enabled: return "enabled";
    case Status::RequiresApproval: return "requires approval";
    case Status::NotFound: return "not found";
  }
  return "not registered";
}

LoginItems::LoginItems() : config_(paths::configDirectory()) {}

LoginItems::LoginItems(std::string configDirectory) : config_(std::move(configDirectory)) {}

std::string LoginItems::entryPath(const std::string& identifier) const {
  return config_ + "/autostart/" + identifier + ".desktop";
}

std::string LoginItems::jobPath(const std::string& identifier) const {
  return config_ + "/loginitems/" + identifier + ".job";
}

std::optional<pid_t> LoginItems::runningJob(const std::string& identifier) const {
  if (!validIdentifier(identifier)) return std::nullopt;
  const auto job = readJob(jobPath(identifier));
  if (!job || !jobRuns(*job)) return std::nullopt;
  return job->pid;
}

bool LoginItems::startJob(const std::string& identifier) const {
  // One job per item, as the login-item service keeps it: a running one is not started again.
  if (runningJob(identifier)) return true;
  const auto text = readText(entryPath(identifier));
  const auto entry = text ? DesktopEntry::parse(*text) : std::nullopt;
  auto argv = entry ? DesktopEntry::execArguments(entry->value("Exec").value_or("")) : std::nullopt;
  if (!argv || argv->empty()) return false;
  // The session looks a bare program name up on PATH.
  const auto program = process::findExecutable((*argv)[0]);
  if (!program) return false;
  (*argv)[0] = *program;
  // The job's environment is the session's; the command line names the job.
  const auto spawned = process::spawnDetached(*argv, {{"XPC_SERVICE_NAME", std::nullopt}});
  if (spawned.pid <= 0) return false;
  const auto stat = process::processStat(spawned.pid);
  std::ostringstream record;
  record << spawned.pid << " " << (stat ? stat->startTime : 0) << " " << process::bootIdentifier() << "\n";
  return writeAtomically(jobPath(identifier), record.str());
}

Status LoginItems::registerItem(const std::string& identifier, const std::string& bundlePath) const {
  if (!validIdentifier(identifier)) return Status::NotRegistered;
  const auto info = workspace::bundleInfo(bundlePath);
  std::error_code ec;
  if (!info || !fs::is_regular_file(info->executablePath, ec)) return Status::NotFound;

  // The user's earlier choice in the desktop's list stays.
  const auto old = readText(entryPath(identifier));
  const auto previous = old ? DesktopEntry::parse(*old) : std::nullopt;
  const bool approved = !previous || approvedIn(*previous);

  DesktopEntry entry;
  entry.set("Type", "Application");
  entry.set("Name", fs::path(info->path).stem().string());
  entry.set("Exec", DesktopEntry::execValue({"/usr/bin/env", "XPC_SERVICE_NAME=" + identifier,
                                             info->executablePath}));
  entry.set("NoDisplay", "true");
  entry.set(kEnabledKey, approved ? "true" : "false");
  if (previous && previous->value("Hidden") == "true") entry.set("Hidden", "true");
  entry.set(kBundleKey, info->path);
  if (!writeAtomically(entryPath(identifier), entry.text())) return Status::NotRegistered;
  if (!approved) return Status::RequiresApproval;
  startJob(identifier);
  return Status::Enabled;
}

bool LoginItems::unregisterItem(const std::string& identifier) const {
  if (!validIdentifier(identifier)) return true;
  if (const auto job = readJob(jobPath(identifier)); job && jobRuns(*job)) {
    ::kill(job->pid, SIGTERM);
  }
  ::unlink(jobPath(identifier).c_str());
  std::error_code ec;
  fs::remove(entryPath(identifier), ec);
  return !ec;
}

Status LoginItems::status(const std::string& identifier) const {
  if (!validIdentifier(identifier)) return Status::NotRegistered;
  const auto text = readText(entryPath(identifier));
  if (!text) return Status::NotRegistered;
  const auto entry = DesktopEntry::parse(*text);
  if (!entry) return Status::NotFound;
  const auto argv = DesktopEntry::execArguments(entry->value("Exec").value_or(""));
  std::error_code ec;
  if (!argv || argv->empty() || !fs::exists(argv->back(), ec)) return Status::NotFound;
  return approvedIn(*entry) ? Status::Enabled : Status::RequiresApproval;
}

bool LoginItems::setApproved(const std::string& identifier, bool approved) const {
  if (!validIdentifier(identifier)) return false;
  const auto text = readText(entryPath(identifier));
  auto entry = text ? DesktopEntry::parse(*text) : std::nullopt;
  if (!entry) return false;
  entry->set(kEnabledKey, approved ? "true" : "false");
  if (approved) entry->remove("Hidden");
  if (!writeAtomically(entryPath(identifier), entry->text())) return false;
  if (approved) startJob(identifier);
  return true;
}

}  // namespace platform::loginitems
