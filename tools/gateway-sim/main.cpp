// gateway-sim: a caching file gateway's SMB share, simulated with FUSE, for tests and the demo.
// See README.md beside this file.
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <signal.h>
#include <sys/xattr.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ControlClient.h"
#include "ControlServer.h"
#include "Controller.h"
#include "Counters.h"
#include "Faults.h"
#include "Hydrator.h"
#include "Populate.h"
#include "SimFileSystem.h"
#include "StopSignal.h"
#include "StubFiles.h"
#include "process/StandardOptions.h"

namespace {

using namespace pellora::gatewaysim;

constexpr const char* kUsage =
    "usage:\n"
    "  gateway-sim mount --backing DIR --cloud DIR --mountpoint DIR [--source //gateway/share]\n"
    "                    [--control SOCKET] [--latency-ms N] [--no-share-marker] [--debug]\n"
    "  gateway-sim ctl --control SOCKET COMMAND...\n"
    "  gateway-sim populate --backing DIR --cloud DIR --folders N --stubs M [--size BYTES]\n"
    "                       [--online K]\n";

// "--name value" options and "--flag" switches, then the words that follow them.
struct Args {
  std::map<std::string, std::string> options;
  std::vector<std::string> words;

  bool has(const std::string& name) const { return options.count(name) != 0; }
  std::string get(const std::string& name, const std::string& fallback = "") const {
    const auto it = options.find(name);
    return it == options.end() ? fallback : it->second;
  }
};

std::optional<Args> parse(int argc, char** argv, int first,
                          const std::vector<std::string>& switches) {
  Args args;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!args.words.empty() || arg.rfind("--", 0) != 0) {
      args.words.push_back(arg);
      continue;
    }
    const std::string name = arg.substr(2);
    if (std::find(switches.begin(), switches.end(), name) != switches.end()) {
      args.options[name] = "1";
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "gateway-sim: %s needs a value\n", arg.c_str());
      return std::nullopt;
    }
    args.options[name] = argv[++i];
  }
  return args;
}

std::optional<long> number(const std::string& text) {
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

bool require(const Args& args, const std::vector<std::string>& names) {
  for (const auto& name : names) {
    if (!args.has(name)) {
      std::fprintf(stderr, "gateway-sim: --%s is required\n%s", name.c_str(), kUsage);
      return false;
    }
  }
  return true;
}

std::optional<std::string> absoluteFolder(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) {
    std::fprintf(stderr, "gateway-sim: %s: %s\n", path.c_str(), std::strerror(errno));
    return std::nullopt;
  }
  std::string out = real;
  std::free(real);
  return out;
}

// Commas and backslashes in a mount option value are escaped for libfuse's option parser.
std::string escapeOption(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == ',' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::atomic<fuse_session*> gSession{nullptr};
StopSignal* gStop = nullptr;

// What fuse_set_signal_handlers' handler does, plus waking the calls that wait in a latency or a
// download, which the loop's exit would otherwise wait for.
void onSignal(int) {
  if (gStop) gStop->trigger();
  if (fuse_session* session = gSession.load()) fuse_session_exit(session);
}

void setSignalHandlers(bool install) {
  struct sigaction sa {};
  sa.sa_handler = install ? onSignal : SIG_DFL;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: the loop's main thread must wake from its wait to see the exit.
  sa.sa_flags = 0;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

// Our own threads leave the exit signals to the loop's main thread, as libfuse's do.
class ExitSignalsBlocked {
 public:
  ExitSignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    ::pthread_sigmask(SIG_BLOCK, &set, &saved_);
  }
  ~ExitSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

 private:
  sigset_t saved_;
};

int runMount(const Args& args) {
  if (!require(args, {"backing", "cloud", "mountpoint"})) return 2;
  const auto backing = absoluteFolder(args.get("backing"));
  const auto cloud = absoluteFolder(args.get("cloud"));
  const auto mountPoint = absoluteFolder(args.get("mountpoint"));
  if (!backing || !cloud || !mountPoint) return 2;
  const auto latency = number(args.get("latency-ms", "0"));
  if (!latency) {
    std::fprintf(stderr, "gateway-sim: --latency-ms takes a number of milliseconds\n");
    return 2;
  }
  const std::string source = args.get("source", "//gateway/share");

  if (!args.has("no-share-marker") &&
      ::lgetxattr(backing->c_str(), kShareAttribute, nullptr, 0) < 0 && errno == ENODATA &&
      ::lsetxattr(backing->c_str(), kShareAttribute, kZavroValue, 5, 0) != 0) {
    std::fprintf(stderr, "gateway-sim: cannot mark %s as a share: %s\n", backing->c_str(),
                 std::strerror(errno));
    return 1;
  }

  Faults faults;
  faults.setLatency(Faults::Millis(*latency));
  Counters counters;
  StopSignal stop;
  Hydrator hydrator(*mountPoint, *cloud, stop, counters);
  SimFileSystem fs({*backing, *cloud, *mountPoint}, faults, counters, hydrator, stop);
  Controller controller(faults, counters);
  ControlServer control(args.get("control"),
                        [&](const std::string& line) { return controller.execute(line); });

  fuse_args fargs = FUSE_ARGS_INIT(0, nullptr);
  fuse_opt_add_arg(&fargs, "gateway-sim");
  if (args.has("debug")) fuse_opt_add_arg(&fargs, "-d");
  fuse_opt_add_arg(&fargs, "-o");
  const std::string options =
      "fsname=" + escapeOption(source) + ",subtype=smbfs,allow_other,default_permissions";
  fuse_opt_add_arg(&fargs, options.c_str());
  fuse* f = fuse_new(&fargs, &SimFileSystem::operations(), sizeof(fuse_operations), &fs);
  if (!f) {
    fuse_opt_free_args(&fargs);
    return 1;
  }
  gStop = &stop;
  gSession = fuse_get_session(f);
  setSignalHandlers(true);

  {
    ExitSignalsBlocked blocked;
    if (args.has("control")) {
      if (const int err = control.start()) {
        std::fprintf(stderr, "gateway-sim: control socket %s: %s\n", args.get("control").c_str(),
                     std::strerror(err));
        fuse_destroy(f);
        fuse_opt_free_args(&fargs);
        return 1;
      }
    }
    hydrator.start();
  }

  int rc = 1;
  if (fuse_mount(f, mountPoint->c_str()) == 0) {
    fuse_loop_config* config = fuse_loop_cfg_create();
    // Downloads wait for calls the simulator makes through its own mount; every waiting call
    // holds a thread, so there must be threads left to serve those.
    fuse_loop_cfg_set_max_threads(config, 512);
    rc = fuse_loop_mt(f, config);
    fuse_loop_cfg_destroy(config);
    stop.trigger();
    control.stop();
    // Closes the connection: calls of the download thread still waiting on it fail now.
    fuse_unmount(f);
  } else {
    std::fprintf(stderr, "gateway-sim: cannot mount on %s\n", mountPoint->c_str());
  }
  stop.trigger();
  control.stop();
  hydrator.stop();
  setSignalHandlers(false);
  gSession = nullptr;
  gStop = nullptr;
  fuse_destroy(f);
  fuse_opt_free_args(&fargs);
  return rc == 0 ? 0 : 1;
}

int runCtl(const Args& args) {
  if (!require(args, {"control"})) return 2;
  if (args.words.empty()) {
    std::fprintf(stderr, "gateway-sim: ctl needs a command\n%s", kUsage);
    return 2;
  }
  std::string line;
  for (const auto& word : args.words) line += (line.empty() ? "" : " ") + word;
  std::string answer;
  if (!sendCommand(args.get("control"), line, answer)) {
    std::fprintf(stderr, "gateway-sim: %s\n", answer.c_str());
    return 2;
  }
  std::printf("%s\n", answer.c_str());
  return answer.rfind("error", 0) == 0 ? 1 : 0;
}

int runPopulate(const Args& args) {
  if (!require(args, {"backing", "cloud", "folders", "stubs"})) return 2;
  PopulateOptions options;
  options.backing = args.get("backing");
  options.cloud = args.get("cloud");
  const auto folders = number(args.get("folders"));
  const auto stubs = number(args.get("stubs"));
  const auto size = number(args.get("size", "4096"));
  const auto online = number(args.get("online", "0"));
  if (!folders || !stubs || !size || !online) {
    std::fprintf(stderr, "gateway-sim: --folders, --stubs, --size and --online take numbers\n");
    return 2;
  }
  options.folders = static_cast<int>(*folders);
  options.stubs = static_cast<int>(*stubs);
  options.size = static_cast<size_t>(*size);
  options.online = static_cast<int>(*online);
  std::string error;
  if (populate(options, error) != 0) {
    std::fprintf(stderr, "gateway-sim: populate: %s\n", error.c_str());
    return 1;
  }
  std::printf("populated %d folders with %d stubs and %d online files each\n", options.folders,
              options.stubs, options.online);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string version = platform::process::toolVersionLine("gateway-sim", PELLORA_VERSION);
  if (const auto status = platform::process::answerStandardOptions(argc, argv, kUsage, version)) return *status;
  if (argc < 2) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  const std::string command = argv[1];
  const auto args = parse(argc, argv, 2, {"no-share-marker", "debug"});
  if (!args) return 2;
  if (command == "mount") return runMount(*args);
  if (command == "ctl") return runCtl(*args);
  if (command == "populate") return runPopulate(*args);
  if (command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::fprintf(stderr, "%s", kUsage);
  return 2;
}
