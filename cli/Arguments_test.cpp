#include "Arguments.h"

#include <gtest/gtest.h>

namespace pellora::cli {
namespace {

Parsed parse(std::vector<std::string> args) { return parseArguments(args); }

TEST(Arguments, CommandsWithTheirOptionsAndPaths) {
  auto status = parse({"status", "--json"});
  ASSERT_TRUE(status.invocation) << status.error;
  EXPECT_EQ(status.invocation->command, Command::Status);
  EXPECT_TRUE(status.invocation->json);

  // Options may follow the paths; after "--" everything is a path.
  auto stubs = parse({"stubs", "/share/a", "--json", "--", "--json", "-x"});
  ASSERT_TRUE(stubs.invocation) << stubs.error;
  EXPECT_EQ(stubs.invocation->command, Command::Stubs);
  EXPECT_TRUE(stubs.invocation->json);
  EXPECT_EQ(stubs.invocation->paths, (std::vector<std::string>{"/share/a", "--json", "-x"}));

  auto enable = parse({"--app", "/opt/Zavro Pellora.app", "enable", "--restart"});
  ASSERT_TRUE(enable.invocation) << enable.error;
  EXPECT_EQ(enable.invocation->command, Command::Enable);
  EXPECT_TRUE(enable.invocation->restart);
  EXPECT_EQ(enable.invocation->app, "/opt/Zavro Pellora.app");
  EXPECT_EQ(parse({"disable", "--app=/A/Zavro Pellora.app"}).invocation->app, "/A/Zavro Pellora.app");

  auto bring = parse({"bring-online", "--without-service", "a", "b"});
  ASSERT_TRUE(bring.invocation) << bring.error;
  EXPECT_EQ(bring.invocation->command, Command::BringOnline);
  EXPECT_TRUE(bring.invocation->withoutService);
  EXPECT_EQ(bring.invocation->paths, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(parse({"previews", "off"}).invocation->previews, false);
  EXPECT_EQ(parse({"previews", "on"}).invocation->previews, true);
  EXPECT_EQ(parse({"previews"}).invocation->previews, std::nullopt);
  // A lone "-" is a name like any other.
  EXPECT_EQ(parse({"stubs", "-"}).invocation->paths, std::vector<std::string>{"-"});
}

TEST(Arguments, EachMistakeIsNamed) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> wrong{
      {{}, "no command"},
      {{"--json"}, "no command"},
      {{"stat"}, "unknown command stat"},
      {{"status", "--verbose"}, "unknown option --verbose"},
      {{"status", "/share"}, "status takes no paths: /share"},
      {{"stubs"}, "stubs needs at least one PATH"},
      {{"bring-online", "--json", "a"}, "--json is for status and stubs"},
      {{"disable", "--restart"}, "--restart is for enable"},
      {{"stubs", "--without-service", "a"}, "--without-service is for bring-online"},
      {{"status", "--app", "/A.app"}, "--app is for enable and disable"},
      {{"enable", "--app"}, "--app needs the path of the application"},
      {{"enable", "--app="}, "--app needs the path of the application"},
      {{"--", "status"}, "no command before \"--\""},
      {{"previews", "maybe"}, "previews takes on or off: maybe"},
      {{"previews", "on", "off"}, "previews takes on or off: off"},
  };
  for (const auto& [args, error] : wrong) {
    const Parsed parsed = parse(args);
    EXPECT_FALSE(parsed.invocation) << error;
    EXPECT_EQ(parsed.error, error);
  }
}

TEST(Arguments, UsageListsEveryCommandAndExitStatus) {
  const std::string usage = usageText();
  for (const char* word : {"status", "enable", "disable", "stubs", "bring-online", "--json", "--restart", "--app",
                           "--without-service", "\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  5 ", "\n  130 "}) {
    EXPECT_NE(usage.find(word), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace pellora::cli
