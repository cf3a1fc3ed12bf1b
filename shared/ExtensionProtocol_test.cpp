#include "ExtensionProtocol.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

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

// Pieces of the paths that the tests below draw: plain text, what JSON escapes, non-ASCII,
// and byte sequences that are not UTF-8 (overlong, surrogate, past U+10FFFF, cut short).
const std::vector<std::string> kPieces = {"/",
                                          "a",
                                          "Docs",
                                          " ",
                                          ".bin",
                                          "\"",
                                          "\\",
                                          "\\u",
                                          "\x01",
                                          "\b",
                                          "\t",
                                          "\n",
                                          "\f",
                                          "\r",
                                          "\x1f",
                                          "\x7f",
                                          "caf\xc3\xa9",
                                          "\xe4\xb8\xad",
                                          "\xf0\x9f\x98\x80",
                                          "\xef\xbf\xbf",
                                          "\xff",
                                          "\xc0\x80",
                                          "\x80",
                                          "\xed\xa0\x80",
                                          "\xf4\x90\x80\x80",
                                          "\xe2\x82",
                                          "}",
                                          "\",\""};

std::string randomPath(std::mt19937& random) {
  std::string path;
  const size_t pieces = random() % 12;
  for (size_t i = 0; i < pieces; ++i) path += kPieces[random() % kPieces.size()];
  return path;
}

// A string as JSON text without the writer's checks: quotes and backslashes escaped, every
// other byte as it is (so that the line may hold raw control characters or bytes that are no
// UTF-8), slashes escaped as the extension writes them when asked.
std::string rawString(const std::string& text, bool escapeSlashes) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\' || (escapeSlashes && c == '/')) out += '\\';
    out += c;
  }
  return out + "\"";
}

// The lines a badge request may arrive as: the usual spellings and others that are JSON with
// the same meaning, or not JSON at all.
std::vector<std::string> spellings(const std::string& command, const std::string& path,
                                   std::mt19937& random) {
  std::vector<std::string> lines = {
      R"({"command":")" + command + R"(","value":)" + rawString(path, false) + "}",
      R"({"command":")" + command + R"(","value":)" + rawString(path, true) + "}",
      R"({"value":)" + rawString(path, false) + R"(,"command":")" + command + "\"}",
      R"({ "command" : ")" + command + R"(", "value": )" + rawString(path, false) + " }",
      R"({"command":")" + command + R"(","value":)" + rawString(path, false) + R"(,"x":1})",
      R"({"command":")" + command + R"(","value":)" + rawString(path, false) + "} ",
      R"({"command":")" + command + R"(","value":)" + rawString(path, false),
  };
  try {
    lines.push_back(json({{"command", command}, {"value", path}}).dump());
    lines.push_back(json({{"command", command}, {"value", path}}).dump(-1, ' ', true));
  } catch (const json::exception&) {
    // Not UTF-8: the writer refuses it, the raw spellings above carry it.
  }
  std::string mutated = lines[random() % lines.size()];
  if (!mutated.empty()) mutated[random() % mutated.size()] = static_cast<char>(random());
  lines.push_back(mutated);
  return lines;
}

TEST(ExtensionProtocol, BadgeLinesReadWithoutADocumentMeanWhatTheFullReaderReads) {
  std::mt19937 random(17);
  size_t fast = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string path = randomPath(random);
    for (const char* command :
         {"getFileIconId", "startObservingFolder", "openedDir", "getFileIcon"}) {
      for (const std::string& line : spellings(command, path, random)) {
        SCOPED_TRACE(line);
        std::string scratch = "left from before";
        const auto read = protocol::badgeRequestPath(line, scratch);
        const auto full = protocol::decode(line);
        const std::string* fullCommand = full ? protocol::text(*full, protocol::kCommand) : nullptr;
        const std::string* fullPath = full ? protocol::text(*full, protocol::kValue) : nullptr;
        const bool isBadgeLine =
            fullCommand && fullPath &&
            (*fullCommand == "getFileIconId" || *fullCommand == "startObservingFolder");
        if (read) {
          ++fast;
          ASSERT_TRUE(isBadgeLine);
          ASSERT_EQ(*read, *fullPath);
        }
        // The writer's own compact spelling is always read here: that is the point of it.
        if (isBadgeLine && line == json({{"command", *fullCommand}, {"value", *fullPath}}).dump()) {
          ASSERT_TRUE(read.has_value());
        }
      }
    }
  }
  EXPECT_GT(fast, 4000u);
}

TEST(ExtensionProtocol, AnswerIsSpelledAsTheJsonWriterSpellsIt) {
  std::mt19937 random(23);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::string> paths;
    const size_t count = random() % 40;
    for (size_t i = 0; i < count; ++i) {
      // Repeated paths and paths that share long beginnings are the interesting ones.
      if (!paths.empty() && random() % 4 == 0) {
        paths.push_back(paths[random() % paths.size()]);
      } else {
        paths.push_back("/Volumes/share/folder/" + randomPath(random));
      }
    }
    // Without the paths that are no UTF-8, then with them.
    for (const bool utf8Only : {true, false}) {
      std::vector<protocol::BadgeEntry> entries;
      std::map<std::string, std::string> expected;
      for (const std::string& p : paths) {
        const bool valid = !json::parse(rawString(p, false), nullptr, false).is_discarded();
        if (utf8Only && !valid) continue;
        const char* badge = random() % 2 ? protocol::kFileIconCache : protocol::kFileIconNone;
        // A path is verbatim only where its JSON spelling is itself.
        const bool verbatim = valid && json(p).dump() == "\"" + p + "\"" && random() % 2;
        entries.push_back({p, badge, verbatim});
        expected[p] = badge;
      }
      SCOPED_TRACE(json(paths).dump(-1, ' ', true, json::error_handler_t::replace));
      ASSERT_EQ(protocol::encodeSetFileIcons(entries),
                protocol::encode(protocol::setFileIcons(expected)));
    }
  }
}

TEST(ExtensionProtocol, QuotedTextIsSpelledAsTheJsonWriterSpellsIt) {
  std::mt19937 random(29);
  for (int round = 0; round < 20000; ++round) {
    const std::string text = randomPath(random);
    std::string out = "kept";
    std::string expected;
    try {
      expected = "kept" + json(text).dump();
    } catch (const json::exception&) {
      expected = "kept";  // not UTF-8: nothing is appended
    }
    EXPECT_EQ(protocol::appendQuoted(out, text), expected != "kept") << expected;
    EXPECT_EQ(out, expected);
  }
}

}  // namespace
