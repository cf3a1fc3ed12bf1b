#include "Controller.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace pellora::gatewaysim {
namespace {

class ControllerTest : public ::testing::Test {
 protected:
  Faults faults;
  Counters counters;
  Controller controller{faults, counters};
};

TEST_F(ControllerTest, SetsLatencyAndSlowDown) {
  EXPECT_EQ(controller.execute("latency 200"), "ok");
  EXPECT_EQ(faults.latency().count(), 200);
  EXPECT_EQ(controller.execute("  slow 50\r"), "ok");
  EXPECT_EQ(faults.slow().count(), 50);
  EXPECT_EQ(controller.execute("latency"), "error: usage: latency MS");
  EXPECT_EQ(controller.execute("latency -3").rfind("error", 0), 0u);
  EXPECT_EQ(controller.execute("slow 5x").rfind("error", 0), 0u);
  EXPECT_EQ(faults.latency().count(), 200);
  EXPECT_EQ(faults.slow().count(), 50);
}

TEST_F(ControllerTest, FailTakesThePathUpToTheDigit) {
  EXPECT_EQ(controller.execute("fail My Folder/a file.txt 4"), "ok");
  EXPECT_EQ(faults.failDigit("My Folder/a file.txt"), 4);
  EXPECT_EQ(controller.execute("fail x 12").rfind("error", 0), 0u);
  EXPECT_EQ(controller.execute("fail 4").rfind("error", 0), 0u);
  EXPECT_EQ(controller.execute("fail My Folder/a file.txt 0"), "ok");
  EXPECT_EQ(faults.failDigit("My Folder/a file.txt"), 0);
}

TEST_F(ControllerTest, DenyAndOutage) {
  EXPECT_EQ(controller.execute("deny Locked Folder"), "ok");
  EXPECT_EQ(faults.errorFor("Locked Folder/f", Access::Attribute), EPERM);
  EXPECT_EQ(controller.execute("outage far away ETIMEDOUT"), "ok");
  EXPECT_EQ(faults.errorFor("far away", Access::List), ETIMEDOUT);
  EXPECT_EQ(controller.execute("outage / EHOSTDOWN"), "ok");
  EXPECT_EQ(faults.errorFor("x", Access::List), EHOSTDOWN);
  EXPECT_EQ(controller.execute("outage x EWHATEVER").rfind("error", 0), 0u);
  EXPECT_EQ(controller.execute("deny").rfind("error", 0), 0u);
  EXPECT_EQ(controller.execute("clear"), "ok");
  EXPECT_EQ(faults.errorFor("x", Access::List), 0);
  EXPECT_EQ(faults.errorFor("Locked Folder/f", Access::Attribute), 0);
}

TEST_F(ControllerTest, CountersAnswerOneLineOfJsonAndReset) {
  counters.countDownloadRead("a");
  const std::string answer = controller.execute("counters");
  EXPECT_EQ(answer.find('\n'), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(answer)["downloadReads"]["a"], 1);
  EXPECT_EQ(controller.execute("reset"), "ok");
  EXPECT_TRUE(nlohmann::json::parse(controller.execute("counters"))["downloadReads"].empty());
}

TEST_F(ControllerTest, AnswersPingAndRejectsTheUnknown) {
  EXPECT_EQ(controller.execute("ping"), "pong");
  EXPECT_EQ(controller.execute("fly away"), "error: unknown command: fly away");
  EXPECT_EQ(controller.execute(""), "error: empty command");
  EXPECT_EQ(controller.execute("clear now").rfind("error", 0), 0u);
}

}  // namespace
}  // namespace pellora::gatewaysim
