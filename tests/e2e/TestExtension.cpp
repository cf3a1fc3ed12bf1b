// A small Finder Sync extension for the multi-process tests of the Finder stand-in.
//   PELLORA_TESTEXT_FOLDERS  a file with the folders to observe, one a line; read by each new
//                            principal and again whenever the file is replaced
//   PELLORA_TESTEXT_LOG      every call is appended here: "<principal> <call> <argument>"
//   PELLORA_TESTEXT_OUT      the menu item "Write Selection" writes the selection here
// Items whose name contains "stub" get the badge "stub"; others have theirs removed.
// "TestExt --write-info-plist PATH" writes the bundle's Info.plist (run at build time).
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "bundle/PropertyList.h"
#include "dispatch/Queue.h"
#include "dispatch/VnodeSource.h"
#include "findersync/FinderSync.h"

namespace {

namespace fs = std::filesystem;
using platform::findersync::FIFinderSync;
using platform::findersync::FIFinderSyncController;
using platform::findersync::Menu;
using platform::findersync::MenuKind;

constexpr const char* kIdentifier = "com.zavro.pellora.tests.TestExt";

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// One write per line on an O_APPEND file: lines from concurrent calls never mix.
void note(const std::string& line) {
  const std::string file = env("PELLORA_TESTEXT_LOG");
  if (file.empty()) return;
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string text = line + "\n";
  [[maybe_unused]] const ssize_t n = ::write(fd, text.data(), text.size());
  ::close(fd);
}

std::set<std::string> folders() {
  std::set<std::string> out;
  std::ifstream in(env("PELLORA_TESTEXT_FOLDERS"));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) out.insert(line);
  }
  return out;
}

// Written beside and renamed into place, so that a reader never sees half of it.
void writeAtomically(const std::string& file, const std::string& content) {
  const std::string temp = file + ".tmp";
  std::ofstream(temp, std::ios::trunc) << content;
  fs::rename(temp, file);
}

std::atomic<int> gPrincipals{0};

class TestPrincipal : public FIFinderSync {
 public:
  TestPrincipal() : n_(std::to_string(++gPrincipals)) {
    note(n_ + " principal");
    auto& controller = FIFinderSyncController::defaultController();
    controller.setBadgeImage("/test/images/stub.png", "Stub", "stub");
    controller.setDirectoryURLs(folders());
  }

  void beginObservingDirectoryAtURL(const std::string& url) override { note(n_ + " begin " + url); }
  void endObservingDirectoryAtURL(const std::string& url) override { note(n_ + " end " + url); }

  void requestBadgeIdentifierForURL(const std::string& url) override {
    note(n_ + " badge " + url);
    const bool stub = fs::path(url).filename().string().find("stub") != std::string::npos;
    FIFinderSyncController::defaultController().setBadgeIdentifier(stub ? "stub" : "", url);
  }

  std::optional<Menu> menuForMenuKind(MenuKind kind) override {
    note(n_ + " menu " + std::to_string(static_cast<int>(kind)));
    Menu menu;
    menu.items.push_back({"Write Selection", [n = n_] {
                            std::string text;
                            for (const auto& url :
                                 FIFinderSyncController::defaultController().selectedItemURLs()) {
                              text += url + "\n";
                            }
                            note(n + " click");
                            writeAtomically(env("PELLORA_TESTEXT_OUT"), text);
                          }});
    return menu;
  }

 private:
  std::string n_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--write-info-plist") {
    std::ofstream(argv[2], std::ios::trunc)
        << platform::bundle::writePropertyList({{"CFBundleIdentifier", kIdentifier},
                                                {"CFBundleExecutable", "TestExt"},
                                                {"CFBundleShortVersionString", "1.0"}});
    return 0;
  }
  note("0 start " + std::to_string(::getpid()));
  // Made before Finder is reached: the runtime holds it and sends it once connected.
  FIFinderSyncController::defaultController().setBadgeImage("/test/images/early.png", "Early",
                                                            "early");
  // The observed folders follow the file: it is replaced by rename, so its folder is watched.
  std::unique_ptr<platform::dispatch::VnodeSource> watch;
  const std::string list = env("PELLORA_TESTEXT_FOLDERS");
  if (!list.empty()) {
    watch = std::make_unique<platform::dispatch::VnodeSource>(
        fs::path(list).parent_path().string(),
        platform::dispatch::makeSerialQueue("testext.folders"), [](uint32_t) {
          auto& controller = FIFinderSyncController::defaultController();
          const auto now = folders();
          if (now != controller.directoryURLs()) controller.setDirectoryURLs(now);
        });
    watch->resume();
  }
  const int status =
      platform::findersync::runExtension([] { return std::make_shared<TestPrincipal>(); });
  note("0 exit " + std::to_string(status));
  return status;
}
