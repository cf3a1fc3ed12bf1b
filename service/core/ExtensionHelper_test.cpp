#include "core/ExtensionHelper.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "TempDir.h"
#include "dispatch/Queue.h"
#include "xattr/Xattr.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using platform::dispatch::RunLoop;

class Recorder : public ExtensionRequestHandler {
 public:
  void openedDir(const std::string& path) override { opened.push_back(path); }
  std::vector<std::string> opened;
};

// The names the rest of the service knows reach whichever dispatcher the service installed.
TEST(ExtensionHelper, NamesServeTheInstalledDispatcher) {
  pellora::testing::TempDir dir;
  const std::string stub = dir.write("stub");
  platform::xattr::set(stub, "is.zavro.stub", "ZAVRO", 5, 0, 0);
  const std::string badge = json({{"command", "getFileIconId"}, {"value", stub}}).dump() + "\r\n";
  const std::string visit = json({{"command", "openedDir"}, {"path", "/v"}}).dump() + "\r\n";

  // Nothing installed: badges only.
  EXPECT_EQ(json::parse(commandQuery((badge + visit).c_str()))["value"],
            json({{stub, "FileIconCache"}}));
  EXPECT_STREQ(commandQuery(nullptr), R"({"command":"setFileIcons","value":{}})");

  auto handler = std::make_shared<Recorder>();
  auto dispatcher = RequestDispatcher::create(handler);
  ExtensionHelper::setDispatcher(dispatcher);
  EXPECT_EQ(ExtensionHelper::dispatcher(), dispatcher);
  commandQuery(visit.c_str());
  EXPECT_EQ(handler->opened, std::vector<std::string>{"/v"});
  ExtensionHelper::bringFilesFrom(json({{"paths", {"/a"}}}));
  EXPECT_EQ(ExtensionHelper::queuedRequests(), 1);
  EXPECT_FALSE(ExtensionHelper::isIdle());
  ASSERT_TRUE(RunLoop::main()->runUntil([] { return ExtensionHelper::queuedRequests() == 0; }, 5s));
  EXPECT_EQ(ExtensionHelper::lastRequest(), 1);
  EXPECT_TRUE(ExtensionHelper::isIdle());  // the handler made no controller

  ExtensionHelper::setDispatcher(nullptr);
  EXPECT_NE(ExtensionHelper::dispatcher(), dispatcher);
  commandQuery(visit.c_str());
  EXPECT_EQ(handler->opened.size(), 1u);
}

}  // namespace
