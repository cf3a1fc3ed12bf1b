// Installing this build into a temporary prefix and applications folder, staged under DESTDIR so
// that nothing reaches the machine's own folders (Nautilus's module folder among them): what
// lands where, the installed programs running from their installed places, and the uninstall
// taking all of it away again.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "TempDir.h"
#include "TestProcess.h"
#include "Wait.h"
#include "loginitems/DesktopEntry.h"
#include "plugins/PluginRegistry.h"
#include "workspace/RunningApplication.h"

namespace pellora::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::loginitems::DesktopEntry;

constexpr char kPrefix[] = "/opt/zavro pellora";
// A folder of the prefix, so that the plug-in tool is found beside the bundles; its name holds
// what the launcher's quoting must get right.
const std::string kApplications = std::string(kPrefix) + "/Applications \"q\" `x` $HOME 100%";
const std::string kBundle = kApplications + "/Zavro Pellora.app";
constexpr char kService[] = "/Contents/Library/LoginItems/Zavro Pellora Service.app";
const std::string kIconNames[] = {"emblems/emblem-pellora-stub", "apps/com.zavro.Pellora"};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool isExecutable(const std::string& path) {
  return fs::is_regular_file(path) && ::access(path.c_str(), X_OK) == 0;
}

// Every entry below root by its relative path: its type, and for files the executable bit and
// the content.
std::map<std::string, std::string> treeOf(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = entry.path().lexically_relative(root).string();
    const auto status = entry.symlink_status();
    if (fs::is_symlink(status)) {
      out[relative] = "link " + fs::read_symlink(entry.path()).string();
    } else if (fs::is_directory(status)) {
      out[relative] = "folder";
    } else {
      const bool exec = (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
      out[relative] = (exec ? "program " : "file ") + std::to_string(std::hash<std::string>{}(readFile(entry.path())));
    }
  }
  return out;
}

// The width of a PNG image, 0 when the file is none.
uint32_t pngWidth(const std::string& path) {
  const std::string png = readFile(path);
  if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || png.compare(12, 4, "IHDR") != 0) return 0;
  uint32_t width = 0;
  for (size_t i = 16; i < 20; ++i) width = (width << 8) | static_cast<unsigned char>(png[i]);
  return width;
}

struct Manifest {
  std::string prefix;
  std::vector<std::string> bundles;
  std::set<std::string> files;
};

Manifest readManifest(const std::string& path) {
  Manifest m;
  std::istringstream lines(readFile(path));
  for (std::string line; std::getline(lines, line);) {
    const size_t space = line.find(' ');
    if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
    const std::string kind = line.substr(0, space), value = line.substr(space + 1);
    if (kind == "prefix") m.prefix = value;
    if (kind == "bundle") m.bundles.push_back(value);
    if (kind == "file") m.files.insert(value);
  }
  return m;
}

// Whether anything opened the file since the watch began (a program run from it opens it).
class OpenWatch {
 public:
  explicit OpenWatch(const std::string& path) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0) ::inotify_add_watch(fd_, path.c_str(), IN_OPEN);
  }
  ~OpenWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool opened() {
    alignas(inotify_event) char buffer[4096];
    while (::read(fd_, buffer, sizeof buffer) > 0) opened_ = true;
    return opened_;
  }

 private:
  int fd_;
  bool opened_ = false;
};

class Install : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("HOME", home_.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home_ / ".local/share").c_str(), 1);
    ::setenv("PELLORA_MANAGED_DEFAULTS_DIR", (home_ / "managed").c_str(), 1);
    ::setenv("PELLORA_USER_DB_HOME", home_.path().c_str(), 1);
    ::setenv("PELLORA_LOG", "stderr", 1);
    ::unsetenv("PELLORA_PLUGINKIT");
    ::unsetenv("XPC_SERVICE_NAME");
  }

  void TearDown() override {
    // The pid namespace of tests/isolated.sh holds only this test's copies.
    EXPECT_TRUE(waitUntil([] {
      const auto copies = platform::workspace::RunningApplication::runningApplications(kServiceBundleIdentifier);
      for (const auto& app : copies) app.forceTerminate();
      return copies.empty();
    }));
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }

  // Where a path of the installation is on this machine: under the staging folder.
  std::string staged(const std::string& path) const { return stage_.path() + path; }
  std::string inPrefix(const std::string& relative) const { return staged(std::string(kPrefix) + "/" + relative); }

  int cmake(std::vector<std::string> arguments, std::string* output,
            const std::string& applications = kApplications) const {
    arguments.insert(arguments.begin(), PELLORA_CMAKE_COMMAND);
    return runToEnd(arguments, {{"DESTDIR", stage_.path()}, {"PELLORA_APPLICATIONS_DIR", applications}}, output,
                    300s);
  }
  int install(std::string* output, const std::string& applications) const {
    return cmake({"--install", PELLORA_BUILD_DIR, "--prefix", kPrefix}, output, applications);
  }
  void install() const {
    std::string output;
    ASSERT_EQ(install(&output, kApplications), 0) << output;
  }
  int uninstall(std::string* output) const {
    return cmake({"-P", inPrefix("share/pellora/uninstall.cmake")}, output);
  }

  std::optional<bool> extensionEnabled() const {
    const platform::plugins::PluginRegistry registry(home_ / ".config/pluginkit/registry.json");
    const auto plugin = registry.find(kFinderExtensionIdentifier);
    if (!plugin) return std::nullopt;
    return plugin->enabled;
  }

  TempDir home_;
  TempDir stage_;
};

TEST_F(Install, EveryPieceLandsInPlaceAndTheUninstallTakesItAllAway) {
  install();
  const std::string bundle = staged(kBundle);
  // The application bundle as a whole, as the build assembled it.
  EXPECT_EQ(treeOf(bundle), treeOf(PELLORA_APP_BUNDLE));

  // The commands, and the plug-in tool where the programs look for it.
  EXPECT_TRUE(isExecutable(inPrefix("bin/finder")));
  EXPECT_TRUE(isExecutable(inPrefix("bin/gateway-sim")));
  EXPECT_TRUE(isExecutable(inPrefix("libexec/pellora/pluginkit")));
  EXPECT_EQ(fs::read_symlink(inPrefix("bin/pluginkit")), "../libexec/pellora/pluginkit");
  EXPECT_TRUE(isExecutable(inPrefix("bin/pluginkit")));
  std::string out;
  if (PELLORA_CLI_BUILT) {
    EXPECT_EQ(runToEnd({inPrefix("bin/pellora"), "--version"}, {}, &out), 0) << out;
    EXPECT_NE(out.find(PELLORA_VERSION), std::string::npos) << out;
  }
  EXPECT_EQ(runToEnd({bundle + kService + "/Contents/MacOS/Zavro Pellora Service", "--version"}, {}, &out), 0);
  EXPECT_EQ(out, "Zavro Pellora Service " PELLORA_VERSION " (" PELLORA_BUILD_NUMBER ")\n");
  EXPECT_EQ(runToEnd({bundle + "/Contents/MacOS/Zavro Pellora", "--version"}, {}, &out), 0);
  EXPECT_EQ(out, "Zavro Pellora " PELLORA_VERSION " (" PELLORA_BUILD_NUMBER ")\n");

  // The launcher runs the installed application, whatever its folder's name holds.
  const auto entry = DesktopEntry::parse(readFile(inPrefix("share/applications/com.zavro.Pellora.desktop")));
  ASSERT_TRUE(entry.has_value());
  const std::string program = kBundle + "/Contents/MacOS/Zavro Pellora";
  EXPECT_EQ(DesktopEntry::execArguments(entry->value("Exec").value_or("")), std::vector<std::string>{program});
  EXPECT_EQ(entry->value("TryExec"), program);
  EXPECT_EQ(entry->value("Type"), "Application");
  EXPECT_EQ(entry->value("Icon"), "com.zavro.Pellora");

  // The emblem and the application's icon, in the sizes of the badge's .icns file and in SVG.
  for (const auto& name : kIconNames) {
    for (const uint32_t size : {32u, 128u}) {
      const std::string n = std::to_string(size);
      EXPECT_EQ(pngWidth(inPrefix("share/icons/hicolor/" + n + "x" + n + "/" + name + ".png")), size) << name;
    }
    EXPECT_NE(readFile(inPrefix("share/icons/hicolor/scalable/" + name + ".svg")).find("<svg"), std::string::npos)
        << name;
  }

  // The manifest lists every file the install wrote outside the bundle, and the bundle.
  const Manifest manifest = readManifest(inPrefix("share/pellora/install-manifest.txt"));
  EXPECT_EQ(manifest.prefix, kPrefix);
  EXPECT_EQ(manifest.bundles, std::vector<std::string>{kBundle});
  std::set<std::string> written;
  for (const auto& e : fs::recursive_directory_iterator(stage_.path())) {
    const std::string path = e.path().string().substr(stage_.path().size());
    if (!fs::is_directory(e.symlink_status()) && path.rfind(kBundle + "/", 0) != 0) {
      written.insert(path);
    }
  }
  EXPECT_EQ(written, manifest.files);
  if (PELLORA_NAUTILUS_BUILT) {
    EXPECT_TRUE(std::any_of(manifest.files.begin(), manifest.files.end(),
                            [](const std::string& f) { return f.ends_with("/libpellora-nautilus.so"); }));
  }

  // Installing again replaces the bundle as a whole.
  const std::string stray = bundle + "/Contents/Resources/left-by-an-older-version.txt";
  std::ofstream(stray) << "old";
  install();
  EXPECT_FALSE(fs::exists(stray));
  EXPECT_EQ(readManifest(inPrefix("share/pellora/install-manifest.txt")).files, manifest.files);
  // Into another applications folder: the launcher follows, and the earlier bundle stays listed
  // for the uninstall.
  const std::string other = std::string(kPrefix) + "/Other Applications";
  // The files written at install time are newer than those of the earlier install by less
  // than the second within which a plain copy would take them for up to date.
  for (const std::string made : {"share/pellora/install-manifest.txt", "share/applications/com.zavro.Pellora.desktop"}) {
    fs::last_write_time(inPrefix(made), fs::file_time_type::clock::now() + 1s);
  }
  ASSERT_EQ(install(&out, other), 0) << out;
  const Manifest again = readManifest(inPrefix("share/pellora/install-manifest.txt"));
  EXPECT_EQ(again.bundles, (std::vector<std::string>{kBundle, other + "/Zavro Pellora.app"}));
  EXPECT_EQ(again.files, manifest.files);
  const auto moved = DesktopEntry::parse(readFile(inPrefix("share/applications/com.zavro.Pellora.desktop")));
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(moved->value("TryExec"), other + "/Zavro Pellora.app/Contents/MacOS/Zavro Pellora");

  ASSERT_EQ(uninstall(&out), 0) << out;
  std::vector<std::string> left;
  for (const auto& e : fs::recursive_directory_iterator(stage_.path())) {
    if (!fs::is_directory(e.symlink_status())) left.push_back(e.path());
  }
  EXPECT_EQ(left, std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(bundle));
  EXPECT_FALSE(fs::exists(staged(other + "/Zavro Pellora.app")));
  // Pellora's own folders go; those other programs share stay.
  EXPECT_FALSE(fs::exists(inPrefix("libexec/pellora")));
  EXPECT_FALSE(fs::exists(inPrefix("share/pellora")));
  EXPECT_TRUE(fs::is_empty(inPrefix("share/icons/hicolor")));
  EXPECT_TRUE(fs::is_directory(inPrefix("bin")));
  EXPECT_TRUE(fs::is_directory(inPrefix("share/applications")));

  // The uninstaller went with the rest; the source tree's (make uninstall) finds nothing more.
  EXPECT_NE(cmake({"-DPELLORA_PREFIX=" + std::string(kPrefix), "-P", PELLORA_SOURCE_DIR "/cmake/Uninstall.cmake"}, &out),
            0);
  EXPECT_NE(out.find("No Pellora installation here"), std::string::npos) << out;
}

TEST_F(Install, AnApplicationsFolderItCannotTakeIsRefusedBeforeAnythingIsCopied) {
  const std::pair<std::string, std::string> refused[] = {
      {"Applications", "PELLORA_APPLICATIONS_DIR must be an absolute path: Applications"},
      {std::string(kPrefix) + "/back\\slash", "Pellora cannot be installed under a path with"}};
  for (const auto& [applications, message] : refused) {
    std::string out;
    EXPECT_NE(install(&out, applications), 0) << out;
    EXPECT_NE(out.find(message), std::string::npos) << out;
    EXPECT_TRUE(fs::is_empty(stage_.path())) << applications;
  }
}

TEST_F(Install, TheInstalledServiceRunsFromItsBundleWithTheInstalledPluginTool) {
  install();
  const std::string service = staged(kBundle) + kService;
  const std::string appex = service + "/Contents/PlugIns/PelloraFinder.appex";
  const std::string tool = inPrefix("libexec/pellora/pluginkit");

  // Registered with the installed tool on PATH, the extension is known by its installed place.
  ASSERT_EQ(runToEnd({inPrefix("bin/pluginkit"), "-a", appex}, {}), 0);
  const platform::plugins::PluginRegistry registry(home_ / ".config/pluginkit/registry.json");
  const auto plugin = registry.find(kFinderExtensionIdentifier);
  ASSERT_TRUE(plugin.has_value());
  EXPECT_EQ(plugin->path, appex);

  // Switched off by Pellora: the service's start switches it on again, with the plug-in tool it
  // finds by itself.
  ASSERT_EQ(runToEnd({tool, "-e", "ignore", "-i", kFinderExtensionIdentifier}, {}), 0);
  ServiceLockFile::createHiddenFolder(home_.path());
  std::ofstream(ServiceEnableHandler::offByMarkerPath());
  ASSERT_EQ(extensionEnabled(), false);

  OpenWatch watch(tool);
  TestProcess copy;
  ASSERT_TRUE(copy.start({service + "/Contents/MacOS/Zavro Pellora Service"},
                         {{"PATH", "/usr/bin:/bin"}, {"PELLORA_PLUGINKIT", ""}, {"XPC_SERVICE_NAME", ""}},
                         home_ / "service.log"));
  EXPECT_TRUE(waitUntil([&] { return extensionEnabled() == true; }, 20s)) << copy.log();
  EXPECT_TRUE(watch.opened()) << "the service did not run " << tool;
  EXPECT_NE(copy.log().find("Finder extension was turned off by Pellora - turning it on"), std::string::npos)
      << copy.log();
  // It passed the location check and holds the lock.
  EXPECT_TRUE(waitUntil([&] {
    const int fd = ServiceLockFile::openForProbe(home_.path());
    if (fd < 0) return false;
    const auto holder = ServiceLockFile::readLockHolder(fd);
    ::close(fd);
    return holder && holder->pid == copy.pid();
  })) << copy.log();
  EXPECT_TRUE(copy.running()) << copy.log();
  EXPECT_EQ(copy.stop(), 0) << copy.log();
}

// What a user who installed Pellora runs first: the whole demo with the installed programs.
TEST_F(Install, TheDemoRunsFromTheInstallation) {
  if (!PELLORA_CLI_BUILT) GTEST_SKIP() << "no pellora command in this build";
  install();
  const std::string pictures = home_.mkdir("pictures");
  std::string output;
  const int status = runToEnd({std::string(PELLORA_SOURCE_DIR) + "/scripts/demo-installed.sh", staged(kPrefix),
                               staged(kApplications)},
                              {{"PELLORA_DEMO_OUT", pictures}}, &output, 300s);
  ASSERT_EQ(status, 0) << output;
  EXPECT_EQ(output.find("gave up waiting"), std::string::npos) << output;
  for (const char* line : {"No Zavro share is connected.", "Problems:   none", "icon\tshowsIconPreview=off",
                           "icon\tshowsIconPreview=on", "Files brought online: 4.", "service.lock is free"}) {
    EXPECT_NE(output.find(line), std::string::npos) << line << " is missing from\n" << output;
  }
  // The installed programs ran, not the build's.
  EXPECT_EQ(output.find(PELLORA_BUILD_DIR), std::string::npos) << output;
  size_t statusWindows = 0, progressWindows = 0;
  for (const auto& entry : fs::directory_iterator(pictures)) {
    const std::string name = entry.path().filename();
    if (name.rfind("status-window-", 0) == 0 && pngWidth(entry.path()) > 0) ++statusWindows;
    if (name.rfind("message-window-", 0) == 0 && pngWidth(entry.path()) > 0) ++progressWindows;
  }
  EXPECT_GE(statusWindows, 2u);
  EXPECT_GE(progressWindows, 2u);
}

}  // namespace
}  // namespace pellora::testing
