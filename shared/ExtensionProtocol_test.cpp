#include "ExtensionProtocol.h"

#include <gtest/gtest.h>

namespace {

namespace protocol = pellora::protocol;
using nlohmann::json;

// The bytes of every frame are fixed: both ends and the tests of the service compare them.
TEST(ExtensionProtocol, FramesAreSpelledAsOnTheWire) {
  EXPECT_EQ(
      protocol::encode(protocol::setFileIcons({{"/b", "FileIconNone"}, {"/a", "FileIconCache"}})),
      R"({"command":"setFileIcons","value":{"/a":"FileIconCache","/b":"FileIconNone"}})");
  EXPECT_EQ(protocol::encode(protocol::setFileIcons({})),
            R"({"command":"setFileIcons","value":{}})");
  EXPECT_EQ(protocol::encode(protocol::setFilterPaths({"/m/b", "/m/a"})),
            R"({"command":"setFilterPaths","value":["/m/b","/m/a"]})");
  EXPECT_EQ(
      protocol::encode(protocol::registerIconWithId("/r/i.icns", "L", "I")),
      R"({"command":"registerIconWithId","value":{"iconId":"I","label":"L","path":"/r/i.icns"}})");
  EXPECT_EQ(protocol::encode(protocol::getFileIconId("/x\"y")),
            R"({"command":"getFileIconId","value":"/x\"y"})");
  EXPECT_EQ(protocol::encodeEscapingSlashes(protocol::openedDir("/Volumes/s")),
            R"({"command":"openedDir","path":"\/Volumes\/s"})");
  EXPECT_EQ(protocol::encodeEscapingSlashes(protocol::bringFileOnline({"/b", "/a"})),
            R"({"command":"bringFileOnline","paths":["\/b","\/a"]})");
  EXPECT_EQ(protocol::encodeEscapingSlashes(protocol::networkAccess(protocol::kAccessBlocked)),
            R"({"command":"networkAccess","value":"blocked"})");
  EXPECT_EQ(protocol::frame("{}"), "{}\r\n");
}

TEST(ExtensionProtocol, TextThatIsNotUtf8CannotBeEncoded) {
  EXPECT_EQ(protocol::encode(protocol::getFileIconId("/\xff")), "");
  EXPECT_FALSE(protocol::encodeEscapingSlashes(protocol::openedDir("/\xfe")).has_value());
}

TEST(ExtensionProtocol, ReadersNeverThrowOnTheWrongShape) {
  EXPECT_FALSE(protocol::decode("{not json").has_value());
  EXPECT_FALSE(protocol::decode("\"\xff\"").has_value());
  EXPECT_EQ(protocol::decode("\"fragment\""), json("fragment"));
  const json message = json::parse(R"({"command":"x","n":5,"paths":["/a",3],"ok":["/a","/b"]})");
  EXPECT_EQ(*protocol::text(message, "command"), "x");
  EXPECT_EQ(protocol::text(message, "n"), nullptr);
  EXPECT_EQ(protocol::text(message, "missing"), nullptr);
  EXPECT_EQ(protocol::text(json::array({1}), "command"), nullptr);
  EXPECT_FALSE(protocol::texts(message, "paths").has_value());
  EXPECT_FALSE(protocol::texts(message, "command").has_value());
  EXPECT_EQ(protocol::texts(message, "ok"), (std::vector<std::string>{"/a", "/b"}));
  EXPECT_EQ(*protocol::member(message, "n"), 5);
  EXPECT_EQ(protocol::member(json(3), "n"), nullptr);
}

}  // namespace
