#include "core/RequestDispatcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "ExtensionProtocol.h"
#include "TempDir.h"
#include "dispatch/Queue.h"
#include "xattr/Xattr.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using pellora::testing::TempDir;
using platform::dispatch::RunLoop;

// Records requests and lets the test decide when each completes.
class FakeController : public BringFilesOnline {
 public:
  void bringFilesOnline(const std::vector<std::string>& paths,
                        std::function<void()> completion) override {
    requests.push_back(paths);
    completions.push_back(std::move(completion));
  }
  std::vector<std::vector<std::string>> requests;
  std::vector<std::function<void()>> completions;
};

// Stands in for the service's application layer.
class FakeHandler : public ExtensionRequestHandler {
 public:
  std::shared_ptr<BringFilesOnline> makeFileProcessController() override {
    ++made;
    last = std::make_shared<FakeController>();
    return last;
  }
  void openedDir(const std::string& path) override { opened.push_back(path); }
  void networkAccess(const std::string& state) override { access.push_back(state); }
  int made = 0;
  std::shared_ptr<FakeController> last;
  std::vector<std::string> opened, access;
};

class CommandQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stub = dir.write("stub.bin");
    plain = dir.write("plain.txt");
    platform::xattr::set(stub, "is.zavro.stub", "ZAVRO", 5, 0, 0);
  }
  void TearDown() override {
    // Work posted for a dispatcher that is gone does nothing; serve it so that it is gone.
    RunLoop::main()->runUntil([&] { return dispatcher->queuedRequests() == 0; }, 5s);
  }

  static std::string line(const json& j) { return j.dump() + "\r\n"; }
  json answer(const std::string& request) { return json::parse(dispatcher->commandQuery(request)); }

  TempDir dir;
  std::string stub, plain;
  std::shared_ptr<FakeHandler> handler = std::make_shared<FakeHandler>();
  std::shared_ptr<RequestDispatcher> dispatcher = RequestDispatcher::create(handler);
  int& made = handler->made;
  std::shared_ptr<FakeController>& last = handler->last;
  std::vector<std::string>& opened = handler->opened;
  std::vector<std::string>& access = handler->access;
};

TEST_F(CommandQueryTest, BadgeRequestsShareOneAnswer) {
  const auto a = answer(line({{"command", "getFileIconId"}, {"value", stub}}) +
                        line({{"command", "startObservingFolder"}, {"value", plain}}) +
                        line({{"command", "getFileIconId"}, {"value", dir / "missing"}}));
  EXPECT_EQ(a, json({{"command", "setFileIcons"},
                     {"value",
                      {{stub, "FileIconCache"},
                       {plain, "FileIconNone"},
                       {dir / "missing", "FileIconNone"}}}}));
}

TEST_F(CommandQueryTest, AnswerIsCompactAndEmptyWithoutBadgeLines) {
  EXPECT_EQ(dispatcher->commandQuery(line({{"command", "openedDir"}, {"path", "/x"}})),
            R"({"command":"setFileIcons","value":{}})");
  EXPECT_EQ(dispatcher->commandQuery(""), R"({"command":"setFileIcons","value":{}})");
}

TEST_F(CommandQueryTest, BadLinesAreSkippedAndTheGoodOnesServed) {
  const std::string text =
      "not json\r\n" + line(json::array({1, 2})) + "\"fragment\"\r\n" + line({{"value", stub}}) +
      line({{"command", 5}}) + line({{"command", "getFileIconId"}, {"value", 42}}) +
      std::string("{\"command\":\"getFileIconId\",\"value\":\"\xff\"}\r\n") +
      line({{"command", "unknown"}}) + line({{"command", "getFileIconId"}, {"value", stub}});
  EXPECT_EQ(answer(text)["value"], json({{stub, "FileIconCache"}}));
}

TEST_F(CommandQueryTest, NumericValueIsSkipped) {
  EXPECT_EQ(answer(line({{"command", "getFileIconId"}, {"value", 7}}))["value"], json::object());
}

TEST_F(CommandQueryTest, LaterLinesReplaceEarlierOnesAndEscapedSlashesAreRead) {
  platform::xattr::remove(stub, "is.zavro.stub", 0);
  std::string escaped = stub;
  for (size_t at = escaped.find('/'); at != std::string::npos; at = escaped.find('/', at + 2)) {
    escaped.replace(at, 1, "\\/");
  }
  const std::string text = "{\"command\":\"getFileIconId\",\"value\":\"" + escaped + "\"}\r\n";
  EXPECT_EQ(answer(text)["value"], json({{stub, "FileIconNone"}}));
  platform::xattr::set(stub, "is.zavro.stub", "ZAVRO", 5, 0, 0);
  EXPECT_EQ(answer(text + text)["value"], json({{stub, "FileIconCache"}}));
}

TEST_F(CommandQueryTest, PathWithANulByteNamesNoFile) {
  // The path up to the NUL is a stub; the path itself names nothing.
  const std::string text = "{\"command\":\"getFileIconId\",\"value\":" +
                           json(stub).dump().insert(json(stub).dump().size() - 1, "\\u0000x") +
                           "}\r\n";
  EXPECT_EQ(answer(text)["value"], json({{stub + std::string(1, '\0') + "x", "FileIconNone"}}));
}

TEST_F(CommandQueryTest, RequestEndedByALineFeedAloneIsParsed) {
  const std::string text = json({{"command", "getFileIconId"}, {"value", stub}}).dump() + "\n";
  EXPECT_EQ(answer(text)["value"], json({{stub, "FileIconCache"}}));
}

TEST_F(CommandQueryTest, FolderVisitsAndNetworkAccessReachTheirHandlers) {
  answer(line({{"command", "openedDir"}, {"path", "/mnt/share/docs"}}) +
         line({{"command", "openedDir"}, {"value", "/no/path/key"}}) +
         line({{"command", "networkAccess"}, {"value", "blocked"}}) +
         line({{"command", "networkAccess"}, {"value", 1}}));
  EXPECT_EQ(opened, std::vector<std::string>{"/mnt/share/docs"});
  EXPECT_EQ(access, std::vector<std::string>{"blocked"});
}

TEST_F(CommandQueryTest, BringOnlineAnswersAtOnceAndStartsOnTheMainQueue) {
  const auto a = answer(line({{"command", "bringFileOnline"}, {"paths", {"/b", "/a"}}}));
  EXPECT_EQ(a, json({{"command", "setFileIcons"}, {"value", json::object()}}));
  EXPECT_EQ(dispatcher->queuedRequests(), 1);
  EXPECT_FALSE(dispatcher->isIdle());
  EXPECT_EQ(made, 0);  // nothing happens off the main queue
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return made == 1 && !last->requests.empty(); }, 5s));
  EXPECT_EQ(last->requests.at(0), (std::vector<std::string>{"/b", "/a"}));
  EXPECT_EQ(dispatcher->queuedRequests(), 0);
  EXPECT_TRUE(dispatcher->fileProcessController());
  EXPECT_FALSE(dispatcher->isIdle());
  last->completions.at(0)();
  EXPECT_FALSE(dispatcher->fileProcessController());
  EXPECT_TRUE(dispatcher->isIdle());
}

TEST_F(CommandQueryTest, RequestsInQuickSuccessionShareOneController) {
  answer(line({{"command", "bringFileOnline"}, {"paths", {"/1"}}}));
  answer(line({{"command", "bringFileOnline"}, {"paths", {"/2"}}}));
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return last && last->requests.size() == 2; }, 5s));
  EXPECT_EQ(made, 1);
  last->completions.at(0)();  // the first completes while the second runs: kept
  EXPECT_TRUE(dispatcher->fileProcessController());
  last->completions.at(1)();
  EXPECT_FALSE(dispatcher->fileProcessController());
  // A later request builds a new controller.
  answer(line({{"command", "bringFileOnline"}, {"paths", {"/3"}}}));
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return made == 2; }, 5s));
}

TEST_F(CommandQueryTest, BringOnlineWithoutUsablePathsIsIgnored) {
  answer(line({{"command", "bringFileOnline"}}) +
         line({{"command", "bringFileOnline"}, {"paths", "/not/an/array"}}) +
         line({{"command", "bringFileOnline"}, {"paths", {"/ok", 3}}}));
  EXPECT_EQ(dispatcher->queuedRequests(), 0);
}

// The answer as the dispatch gave it before badge lines had a reader of their own: a document
// per line, a map, the JSON writer; the marker read straight from the file.
std::string fullReaderAnswer(const std::string& text) {
  namespace protocol = pellora::protocol;
  std::map<std::string, std::string> icons;
  size_t start = 0;
  for (bool last = false; !last;) {
    size_t end = text.find("\r\n", start);
    last = end == std::string::npos;
    if (last) end = text.size();
    const auto message = protocol::decode(std::string_view(text).substr(start, end - start));
    start = end + 2;
    if (!message || !message->is_object()) continue;
    const std::string* command = protocol::text(*message, protocol::kCommand);
    const std::string* path = protocol::text(*message, protocol::kValue);
    if (!command || !path || (*command != "getFileIconId" && *command != "startObservingFolder")) {
      continue;
    }
    char value[256];
    const bool stub = path->find('\0') == std::string::npos &&
                      ::getxattr(path->c_str(), "user.is.zavro.stub", value, sizeof value) == 5 &&
                      std::memcmp(value, "ZAVRO", 5) == 0;
    icons[*path] = stub ? protocol::kFileIconCache : protocol::kFileIconNone;
  }
  return protocol::encode(protocol::setFileIcons(icons));
}

TEST_F(CommandQueryTest, AnswersAreTheFullReadersOverTheFuzzCorpus) {
  size_t files = 0;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(PELLORA_SOURCE_DIR "/fuzz/corpus")) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    // Each file as it is, and after a badge line for a stub.
    const std::string text = content.str();
    const std::string stubLine = line({{"command", "getFileIconId"}, {"value", stub}});
    for (const std::string& request : {text, stubLine + text, stubLine + text + stubLine}) {
      SCOPED_TRACE(entry.path().string());
      EXPECT_EQ(dispatcher->commandQuery(request), fullReaderAnswer(request));
    }
    ++files;
  }
  EXPECT_GT(files, 20u);
}

TEST_F(CommandQueryTest, AnswersAreTheFullReadersForFilesWithAnyName) {
  // Names with what JSON escapes, non-ASCII, and bytes that are no UTF-8 (lines naming those
  // are no JSON, and both readers skip them).
  const std::vector<std::string> pieces = {"a",
                                           "Docs",
                                           " ",
                                           ".bin",
                                           "\"",
                                           "\\",
                                           "\\u0041",
                                           "\x01",
                                           "\b",
                                           "\t",
                                           "\n",
                                           "\r",
                                           "\x1f",
                                           "\x7f",
                                           "caf\xc3\xa9",
                                           "\xe4\xb8\xad",
                                           "\xf0\x9f\x98\x80",
                                           "\xff",
                                           "\xc0\x80",
                                           "\xed\xa0\x80",
                                           "\xe2\x82",
                                           "},{",
                                           "\",\"value\":\""};
  std::mt19937 random(41);
  std::vector<std::string> lines;
  for (int i = 0; i < 300; ++i) {
    std::string name = std::to_string(i);
    for (size_t n = random() % 6; n > 0; --n) name += pieces[random() % pieces.size()];
    const std::string path = dir.path() + "/" + name;
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << name;
    ::close(fd);
    if (random() % 2) platform::xattr::set(path, "is.zavro.stub", "ZAVRO", 5, 0, 0);
    std::string raw;  // quotes and backslashes escaped, every other byte as it is
    for (const char c : path)
      raw += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
    const char* command = random() % 3 ? "getFileIconId" : "startObservingFolder";
    lines.push_back(std::string("{\"command\":\"") + command + "\",\"value\":\"" + raw + "\"}");
    lines.push_back("{\"value\":\"" + raw + "\",\"command\":\"getFileIconId\"}");
    try {
      lines.push_back(json({{"command", command}, {"value", path}}).dump());
      lines.push_back(json({{"command", command}, {"value", path}}).dump(-1, ' ', true));
      auto escaped =
          pellora::protocol::encodeEscapingSlashes(json({{"command", command}, {"value", path}}));
      lines.push_back(*escaped);
    } catch (const json::exception&) {
    }
  }
  lines.push_back(json({{"command", "getFileIconId"}, {"value", dir / "missing"}}).dump());
  lines.push_back(json({{"command", "openedDir"}, {"path", dir.path()}}).dump());
  for (int round = 0; round < 20; ++round) {
    std::shuffle(lines.begin(), lines.end(), random);
    std::string text;
    // Half of the lines, so that spellings of one path come alone, together or not at all.
    for (size_t i = 0; i < lines.size() / 2; ++i) text += lines[i] + "\r\n";
    ASSERT_EQ(dispatcher->commandQuery(text), fullReaderAnswer(text)) << round;
  }
}

TEST(RequestDispatcherAlone, WithoutAHandlerBadgesAreAnsweredAndTheRestIgnored) {
  TempDir dir;
  const std::string stub = dir.write("stub");
  platform::xattr::set(stub, "is.zavro.stub", "ZAVRO", 5, 0, 0);
  auto dispatcher = RequestDispatcher::create(nullptr);
  const std::string text = json({{"command", "bringFileOnline"}, {"paths", {"/a"}}}).dump() +
                           "\r\n" + json({{"command", "openedDir"}, {"path", "/d"}}).dump() +
                           "\r\n" + json({{"command", "getFileIconId"}, {"value", stub}}).dump() +
                           "\r\n";
  EXPECT_EQ(json::parse(dispatcher->commandQuery(text))["value"], json({{stub, "FileIconCache"}}));
  ASSERT_TRUE(RunLoop::main()->runUntil([&] { return dispatcher->queuedRequests() == 0; }, 5s));
  EXPECT_EQ(dispatcher->lastRequest(), 1);
  EXPECT_FALSE(dispatcher->fileProcessController());
  // A request still queued when its dispatcher goes is dropped with it.
  dispatcher->commandQuery(json({{"command", "bringFileOnline"}, {"paths", {"/b"}}}).dump());
  std::weak_ptr<RequestDispatcher> weak = dispatcher;
  dispatcher.reset();
  EXPECT_TRUE(weak.expired());
  bool served = false;
  platform::dispatch::mainQueue()->async([&] { served = true; });
  EXPECT_TRUE(RunLoop::main()->runUntil([&] { return served; }, 5s));
}

}  // namespace
