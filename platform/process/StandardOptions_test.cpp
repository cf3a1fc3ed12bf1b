#include "process/StandardOptions.h"

#include <gtest/gtest.h>

#include <vector>

namespace platform::process {
namespace {

StandardOption optionOf(std::vector<const char*> args, StandardOptionRules rules = {}) {
  args.insert(args.begin(), "program");
  return standardOption(static_cast<int>(args.size()), args.data(), rules);
}

TEST(StandardOptions, FoundAnywhereBeforeTheOperands) {
  EXPECT_EQ(optionOf({}), StandardOption::None);
  EXPECT_EQ(optionOf({"ls", "/share"}), StandardOption::None);
  EXPECT_EQ(optionOf({"--help"}), StandardOption::Help);
  EXPECT_EQ(optionOf({"stubs", "/share", "--version"}), StandardOption::Version);
  // The first one decides.
  EXPECT_EQ(optionOf({"--version", "--help"}), StandardOption::Version);
  // After "--" they are names of files.
  EXPECT_EQ(optionOf({"stubs", "--", "--help"}), StandardOption::None);
  EXPECT_EQ(optionOf({"-h"}), StandardOption::Help);
  EXPECT_EQ(optionOf({"-h"}, {.shortHelp = false}), StandardOption::None);
  EXPECT_EQ(optionOf({"--helpful", "-version"}), StandardOption::None);
}

TEST(StandardOptions, AnswerEndsWithStatusZero) {
  const char* help[] = {"program", "--help"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(answerStandardOptions(2, help, "usage: program", "program 1"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "usage: program\n");
  const char* none[] = {"program", "run"};
  EXPECT_EQ(answerStandardOptions(2, none, "usage", "version"), std::nullopt);
  EXPECT_EQ(toolVersionLine("finder", "1.2.3"), "finder (Zavro Pellora) 1.2.3");
}

}  // namespace
}  // namespace platform::process
