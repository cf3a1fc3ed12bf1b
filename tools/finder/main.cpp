// finder: the Finder stand-in. "finder serve" runs it; every other command asks the running
// one over its control socket. See README.md beside this file.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "CommandClient.h"
#include "CommandServer.h"
#include "Commands.h"
#include "ConsentStore.h"
#include "ExtensionSupervisor.h"
#include "Finder.h"
#include "FolderPaths.h"
#include "RunLoopHostLoop.h"
#include "ScriptingTarget.h"
#include "finderscript/Protocol.h"
#include "finderscript/ScriptServer.h"
#include "process/StandardOptions.h"
#include "process/StopSignals.h"
#include "dispatch/RunLoop.h"
#include "log/Log.h"
#include "paths/Paths.h"

namespace {

using namespace pellora::finder;

std::string defaultSocket() {
  if (const char* env = std::getenv("PELLORA_FINDER_SOCKET"); env && *env) return env;
  return platform::paths::homeDirectory() + "/.pellora-finder/control.sock";
}

int serve(const std::string& socketPath, const std::string& scriptingSocket, bool previews) {
  const platform::log::Log log("com.zavro.Pellora", "Finder");
  std::error_code ec;
  const auto folder = std::filesystem::path(socketPath).parent_path();
  if (!folder.empty()) {
    std::filesystem::create_directories(folder, ec);
    ::chmod(folder.c_str(), 0700);
  }
  // Answers go out with MSG_NOSIGNAL; a closed stderr must not end Finder either.
  ::signal(SIGPIPE, SIG_IGN);
  const auto loop = platform::dispatch::RunLoop::main();
  platform::process::StopSignals signals(loop);
  pellora::host::RunLoopHostLoop hostLoop(loop);
  Finder finder(hostLoop);
  if (!previews) finder.viewOptions().setDefaults({false, false});
  pellora::host::ExtensionSupervisor supervisor(hostLoop, finder.host(), {});
  ConsentStore consent;
  ScriptingTarget scripting(finder.viewOptions(), consent);
  Commands commands(finder, supervisor, consent, [loop] { loop->stop(); });
  CommandServer server(
      socketPath, [&commands](const std::vector<std::string>& args, CommandServer::Reply reply) {
        commands.execute(args, std::move(reply));
      });
  std::string error;
  if (!server.start(error)) {
    std::fprintf(stderr, "finder: %s\n", error.c_str());
    return 1;
  }
  platform::finderscript::ScriptServer scriptServer(scriptingSocket, loop, scripting.handlers());
  if (!scriptServer.start(error)) {
    std::fprintf(stderr, "finder: %s\n", error.c_str());
    return 1;
  }
  log.infof("Finder serves %s, scripting on %s", socketPath.c_str(), scriptingSocket.c_str());
  supervisor.start();
  loop->run();
  log.info("Finder is stopping");
  scriptServer.stop();
  server.stop();
  supervisor.stopAll();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string version = platform::process::toolVersionLine("finder", PELLORA_VERSION);
  if (const auto status = platform::process::answerStandardOptions(argc, argv, Commands::usage(), version)) return *status;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string socketPath = defaultSocket();
  std::string scriptingSocket = platform::finderscript::finderScriptingSocket();
  while (!args.empty() && args[0].rfind("--", 0) == 0) {
    if (args[0] == "--socket" && args.size() >= 2) {
      socketPath = args[1];
      args.erase(args.begin(), args.begin() + 2);
    } else if (args[0] == "--scripting-socket" && args.size() >= 2) {
      scriptingSocket = args[1];
      args.erase(args.begin(), args.begin() + 2);
    } else {
      std::fprintf(stderr, "finder: unknown option %s\n%s", args[0].c_str(), Commands::usage());
      return 64;
    }
  }
  if (args.empty()) {
    std::fputs(Commands::usage(), stderr);
    return 64;
  }
  if (args[0] == "serve" && args.size() == 1) return serve(socketPath, scriptingSocket, true);
  if (args[0] == "serve" && args.size() == 2 && args[1] == "--no-previews") {
    return serve(socketPath, scriptingSocket, false);
  }
  if (args[0] == "help") {
    std::fputs(Commands::usage(), stdout);
    return 0;
  }
  // The daemon has a working folder of its own: paths leave here absolute.
  if (Commands::takesPaths(args[0])) {
    const size_t last = args[0] == "wait-badge" ? std::min<size_t>(args.size(), 2) : args.size();
    for (size_t i = 1; i < last; ++i) args[i] = pellora::host::normalPath(args[i]);
  }
  const CommandResult result = sendCommand(socketPath, args, Commands::answerTimeout(args));
  std::fputs(result.out.c_str(), stdout);
  std::fputs(result.err.c_str(), stderr);
  if (!result.err.empty() && result.err.back() != '\n') std::fputc('\n', stderr);
  return result.status;
}
