// The settings pages the status window's fixes lead to. The desktops here have no settings
// page for any of them (nor an address to open one), so the window says what to do instead, and
// the command line prints the same advice beside the problem.
#pragma once

#include <optional>
#include <string>

enum class SettingsPage {
  FilesAndFolders,  // access to the network shares
  Automation,       // Finder control
  LoginItems,       // running in the background
  Extensions,       // the Finder extension on or off
};

// The page a privacy anchor ("Privacy_FilesAndFolders", "Privacy_Automation") names.
std::optional<SettingsPage> settingsPageForAnchor(const std::string& anchor);

struct Guidance {
  std::string key;   // in the strings table
  std::string text;  // English, used when the table has no translation; "%@" is the argument
  std::string argument;
};

// loginItemEntry: the file that holds the service's login item.
Guidance guidanceFor(SettingsPage page, const std::string& loginItemEntry);
