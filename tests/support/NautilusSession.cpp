#include "NautilusSession.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "Wait.h"

namespace pellora::testing {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The bus serves the session's programs only: no .service files, so nothing is activated.
constexpr const char* kBusConfig =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig>\n"
    "  <type>session</type>\n"
    "  <listen>unix:path=@SOCKET@</listen>\n"
    "  <auth>EXTERNAL</auth>\n"
    "  <policy context=\"default\">\n"
    "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
    "    <allow eavesdrop=\"true\"/>\n"
    "    <allow own=\"*\"/>\n"
    "  </policy>\n"
    "</busconfig>\n";

constexpr const char* kSocketFolder = "/tmp/.X11-unix";

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool onPath(const std::string& program) {
  return runToEnd({"/bin/sh", "-c", "command -v \"$0\" >/dev/null", program}, {}) == 0;
}

// A binary PPM (P6, 8 bits) as ImageMagick writes it.
std::optional<NautilusSession::Image> parsePpm(const std::string& data) {
  std::istringstream in(data);
  std::string magic;
  int width = 0, height = 0, depth = 0;
  in >> magic >> width >> height >> depth;
  if (magic != "P6" || width <= 0 || height <= 0 || depth != 255) return std::nullopt;
  in.get();
  NautilusSession::Image image;
  image.width = width;
  image.height = height;
  image.rgb.resize(static_cast<size_t>(width) * height * 3);
  in.read(reinterpret_cast<char*>(image.rgb.data()), static_cast<std::streamsize>(image.rgb.size()));
  if (in.gcount() != static_cast<std::streamsize>(image.rgb.size())) return std::nullopt;
  return image;
}

}  // namespace

NautilusSession::NautilusSession(Options options) : options_(std::move(options)) {}

NautilusSession::~NautilusSession() { stop(); }

std::string NautilusSession::missingPrograms() {
  std::string missing;
  for (const char* program : {"nautilus", "Xvfb", "dbus-daemon", "import", "convert", "xdotool"}) {
    if (!onPath(program)) missing += std::string(missing.empty() ? "" : " ") + program;
  }
  return missing;
}

bool NautilusSession::isolated() { return ::getpid() == 1; }

std::map<std::string, std::string> NautilusSession::environment() const {
  std::map<std::string, std::string> env = options_.env;
  env["DISPLAY"] = display_;
  env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + dir_ / "run/bus";
  env["XDG_RUNTIME_DIR"] = dir_ / "run";
  // Local files through GIO's own code, no volume monitors, portals or accessibility bus.
  env["GIO_USE_VFS"] = "local";
  env["GIO_USE_VOLUME_MONITOR"] = "unix";
  env["GTK_USE_PORTAL"] = "0";
  env["NO_AT_BRIDGE"] = "1";
  env["GTK_A11Y"] = "none";
  // Xvfb has no GL: GTK draws with cairo.
  env["GSK_RENDERER"] = "cairo";
  env["GSETTINGS_BACKEND"] = "keyfile";
  std::string dataDirs = "/usr/local/share:/usr/share";
  if (!options_.dataDir.empty()) dataDirs = options_.dataDir + ":" + dataDirs;
  env["XDG_DATA_DIRS"] = dataDirs;
  return env;
}

bool NautilusSession::start(std::chrono::milliseconds timeout) {
  if (!isolated()) {
    std::cerr << "NautilusSession: run the test through tests/isolated.sh\n";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto left = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
  };
  const std::string run = dir_.mkdir("run");
  ::chmod(run.c_str(), 0700);

  // The X server's socket in a folder of this namespace only, and none in the abstract
  // namespace (shared by every process of the network namespace): no client of another test
  // reaches it, and no client of this one reaches another's.
  fs::create_directories(kSocketFolder);
  if (::mount("tmpfs", kSocketFolder, "tmpfs", 0, "mode=1777") != 0) {
    std::cerr << "Cannot mount a folder of its own on " << kSocketFolder << "\n";
    return false;
  }
  socketsMounted_ = true;
  // Xvfb takes a free display and tells its number.
  const std::string number = dir_ / "display";
  if (!xvfb_.start({"/bin/sh", "-c",
                    "exec Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -nolisten local "
                    "3>\"$0\"",
                    number},
                   {}, dir_ / "xvfb.log")) {
    return false;
  }
  if (!waitUntil([&] { return contentOf(number).find('\n') != std::string::npos; }, left())) {
    std::cerr << "Xvfb did not start:\n" << xvfb_.log() << "\n";
    return false;
  }
  display_ = ":" + contentOf(number).substr(0, contentOf(number).find('\n'));
  if (!waitUntil([&] { return xdotool({"getdisplaygeometry"}) == 0; }, left())) {
    std::cerr << "The X server on " << display_ << " does not answer:\n" << xvfb_.log() << "\n";
    return false;
  }

  std::string config = kBusConfig;
  config.replace(config.find("@SOCKET@"), 8, dir_ / "run/bus");
  dir_.write("bus.conf", config);
  if (!bus_.start({"dbus-daemon", "--nofork", "--config-file=" + dir_ / "bus.conf"}, {},
                  dir_ / "bus.log")) {
    return false;
  }
  if (!waitUntil([&] { return fs::exists(dir_ / "run/bus"); }, left())) {
    std::cerr << "dbus-daemon did not start:\n" << bus_.log() << "\n";
    return false;
  }

  // Nautilus's settings, in the key file of its configuration folder.
  const auto config_home = options_.env.find("XDG_CONFIG_HOME");
  if (config_home != options_.env.end()) {
    std::string keyfile;
    for (const auto& [group, lines] : options_.settings) {
      keyfile += "[" + group + "]\n";
      for (const auto& line : lines) keyfile += line + "\n";
    }
    fs::create_directories(config_home->second + "/glib-2.0/settings");
    std::ofstream(config_home->second + "/glib-2.0/settings/keyfile") << keyfile;
  }

  if (!options_.module.empty()) {
    const std::string modules = dir_.mkdir("extensions-4");
    fs::copy_file(options_.module, modules + "/" + fs::path(options_.module).filename().string());
    if (::mount(modules.c_str(), options_.extensionDir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      std::cerr << "Cannot mount the module folder on " << options_.extensionDir << "\n";
      return false;
    }
    mounted_ = true;
  }
  return true;
}

bool NautilusSession::open(const std::string& folder, std::chrono::milliseconds timeout) {
  const std::string title = fs::path(folder).filename().string();
  if (!nautilus_.running()) {
    if (!nautilus_.start({"nautilus", "--new-window", folder}, environment(),
                         dir_ / "nautilus.log")) {
      return false;
    }
  } else if (runToEnd({"nautilus", "--new-window", folder}, environment(), nullptr, timeout) != 0) {
    // A further window goes through the running instance.
    return false;
  }
  return waitUntil(
      [&] {
        return runToEnd({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"},
                        environment()) == 0;
      },
      timeout);
}

std::optional<NautilusSession::Image> NautilusSession::grab(const std::string& png) {
  if (runToEnd({"import", "-window", "root", png}, environment()) != 0) return std::nullopt;
  const std::string ppm = dir_ / "grab.ppm";
  if (runToEnd({"convert", png, ppm}, {}) != 0) return std::nullopt;
  return parsePpm(contentOf(ppm));
}

int NautilusSession::xdotool(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runToEnd(argv, environment());
}

std::string NautilusSession::log() const {
  return nautilus_.log() + "\n(X server on " + display_ + ")\n" + xvfb_.log();
}

void NautilusSession::stop() {
  nautilus_.stop(5s);
  bus_.stop(5s);
  xvfb_.stop(5s);
  if (mounted_) ::umount2(options_.extensionDir.c_str(), MNT_DETACH);
  mounted_ = false;
  if (socketsMounted_) ::umount2(kSocketFolder, MNT_DETACH);
  socketsMounted_ = false;
}

}  // namespace pellora::testing
