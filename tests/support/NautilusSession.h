// Nautilus itself for end-to-end tests: an X server (Xvfb) and a D-Bus session bus of its own
// (without service activation, so that no indexer or volume monitor starts and reads files),
// GSettings in a key file of the test's home, and the adapter module put in Nautilus's
// extensions-4 folder by a bind mount; the X server's socket folder is a mount of its own too.
// The mounts need the private mount namespace of tests/isolated.sh; the session refuses to
// start outside it. Everything it starts is stopped
// and the mount is undone however the test ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TempDir.h"
#include "TestProcess.h"

namespace pellora::testing {

class NautilusSession {
 public:
  struct Options {
    // The adapter module; empty: Nautilus runs without it.
    std::string module;
    // Where Nautilus loads modules from (pkg-config's extensiondir).
    std::string extensionDir;
    // Put before the system's XDG_DATA_DIRS (the adapter's icon theme folder).
    std::string dataDir;
    // The GSettings keys of org.gnome.nautilus.* as key-file lines, by group.
    std::map<std::string, std::vector<std::string>> settings;
    // More environment for Nautilus (HOME, XDG_* and the like).
    std::map<std::string, std::string> env;
  };
  // An RGB picture of the screen.
  struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
  };

  explicit NautilusSession(Options options);
  ~NautilusSession();
  NautilusSession(const NautilusSession&) = delete;
  NautilusSession& operator=(const NautilusSession&) = delete;

  // The programs the session needs that are not installed, space separated; empty when all are.
  static std::string missingPrograms();
  // True in the private namespaces of tests/isolated.sh (the test is their first process).
  static bool isolated();

  // Starts the X server and the bus, and mounts the module folder. False (with the reason on
  // stderr) when something does not come up in time.
  bool start(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Opens a Nautilus window on folder and waits until it is mapped.
  bool open(const std::string& folder, std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Grabs the screen into png (kept) and returns its pixels.
  std::optional<Image> grab(const std::string& png);
  // Runs xdotool with args on the session's display; its exit status.
  int xdotool(const std::vector<std::string>& args);
  // What Nautilus wrote.
  std::string log() const;
  const std::string& display() const { return display_; }

 private:
  std::map<std::string, std::string> environment() const;
  void stop();

  Options options_;
  TempDir dir_;
  std::string display_;
  TestProcess xvfb_;
  TestProcess bus_;
  TestProcess nautilus_;
  bool mounted_ = false;
  bool socketsMounted_ = false;
};

}  // namespace pellora::testing
