// The program inside the test bundles of the workspace and login-item tests. It writes what it
// was started with to $PELLORA_TEST_APP_RECORDS/<pid> and waits for a signal:
//   arg=<each argument after the program>
//   xpc=<XPC_SERVICE_NAME, or "unset">
//   extra=<PELLORA_TEST_APP_EXTRA, or "unset">
//   pgid=<process group> sid=<session> stdin=<what standard input is>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  const char* dir = std::getenv("PELLORA_TEST_APP_RECORDS");
  if (!dir) return 64;
  const auto env = [](const char* name) {
    const char* v = std::getenv(name);
    return std::string(v ? v : "unset");
  };
  std::error_code ec;
  const std::string in = std::filesystem::read_symlink("/proc/self/fd/0", ec).string();
  const std::string file = std::string(dir) + "/" + std::to_string(::getpid());
  {
    std::ofstream out(file + ".tmp");
    for (int i = 1; i < argc; ++i) out << "arg=" << argv[i] << "\n";
    out << "xpc=" << env("XPC_SERVICE_NAME") << "\n";
    out << "extra=" << env("PELLORA_TEST_APP_EXTRA") << "\n";
    out << "pgid=" << ::getpgrp() << "\n";
    out << "sid=" << ::getsid(0) << "\n";
    out << "stdin=" << in << "\n";
  }
  std::filesystem::rename(file + ".tmp", file, ec);
  for (;;) ::pause();
}
