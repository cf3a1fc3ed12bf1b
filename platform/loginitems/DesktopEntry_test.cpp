#include "loginitems/DesktopEntry.h"

#include <gtest/gtest.h>

namespace platform::loginitems {
namespace {

TEST(DesktopEntry, ExecLinesCarryAnyArgumentsThroughQuotingAndEscapes) {
  const std::vector<std::string> argv{
      "/usr/bin/env", "XPC_SERVICE_NAME=com.zavro.Pellora.Service",
      "/Applications/Zavro Pellora.app/Contents/MacOS/Zavro \"Pellora\" $HOME `id` 100% back\\slash",
      "", "tab\there", "semi;colon&pipe|", "line\nbreak"};
  const std::string exec = DesktopEntry::execValue(argv);
  EXPECT_EQ(DesktopEntry::execArguments(exec), argv);

  // The same after the file's own escapes: written out and read back as a whole entry.
  DesktopEntry entry;
  entry.set("Exec", exec);
  entry.set("Name", " leading blank and back\\slash");
  const auto back = DesktopEntry::parse(entry.text());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->value("Exec"), exec);
  EXPECT_EQ(back->value("Name"), " leading blank and back\\slash");
  EXPECT_EQ(DesktopEntry::execArguments(*back->value("Exec")), argv);
  // No line break of a value may reach the file, or the entry would end there.
  EXPECT_EQ(entry.text().find("line\nbreak"), std::string::npos);
}

TEST(DesktopEntry, ReadsTheDesktopEntryGroupOnly) {
  const auto entry = DesktopEntry::parse(
      "# comment\n[Other]\nExec=wrong\n[Desktop Entry]\nType=Application\nName[de]=Name\n"
      "Exec = prog %U --flag \"a b\" 50%%\nX-GNOME-Autostart-enabled=false\r\n[Desktop Action x]\n"
      "Exec=also wrong\n");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->value("Type"), "Application");
  EXPECT_FALSE(entry->value("Name").has_value());  // localised keys are not kept
  EXPECT_EQ(entry->value("X-GNOME-Autostart-enabled"), "false");
  EXPECT_EQ(DesktopEntry::execArguments(*entry->value("Exec")),
            (std::vector<std::string>{"prog", "--flag", "a b", "50%"}));

  EXPECT_FALSE(DesktopEntry::parse("[Other]\nExec=x\n").has_value());
  EXPECT_FALSE(DesktopEntry::execArguments("prog \"open").has_value());
}

}  // namespace
}  // namespace platform::loginitems
