#include "SettingsGuidance.h"

std::optional<SettingsPage> settingsPageForAnchor(const std::string& anchor) {
  if (anchor == "Privacy_FilesAndFolders") return SettingsPage::FilesAndFolders;
  if (anchor == "Privacy_Automation") return SettingsPage::Automation;
  return std::nullopt;
}

Guidance guidanceFor(SettingsPage page, const std::string& loginItemEntry) {
  switch (page) {
    case SettingsPage::FilesAndFolders:
      return {"guidance_network_access",
              "The connected shares refuse to be read by your user account.\n\n"
              "Connect the share again as yourself: in Files under Other Locations, or with "
              "mount.cifs and the options uid= and gid= of your account. Then reopen the folder.",
              ""};
    case SettingsPage::Automation:
      return {"guidance_finder_control",
              "Zavro Pellora Service may not control Finder.\n\n"
              "Allow it with the command\n    finder consent allow com.zavro.Pellora.Service\n"
              "Pellora notices the change within half a minute.",
              ""};
    case SettingsPage::LoginItems:
      return {"guidance_login_item %@",
              "Zavro Pellora Service is switched off among the programs your desktop starts at "
              "login.\n\nSwitch it on in your desktop's startup applications (GNOME Tweaks, or "
              "Autostart in the KDE System Settings), or remove the lines Hidden=true and "
              "X-GNOME-Autostart-enabled=false from\n    %@",
              loginItemEntry};
    case SettingsPage::Extensions:
      return {"guidance_extension",
              "The Finder extension of Pellora is switched off.\n\n"
              "Switch it on with the command\n    pluginkit -e use -i com.zavro.Pellora.Service.Finder",
              ""};
  }
  return {};
}
