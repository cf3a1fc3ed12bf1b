// The Finder stand-in with a real extension process (TestExt, built from TestExtension.cpp as a
// bundle in the build tree), driven through the finder and pluginkit command lines. Each test
// has its own Finder in its own temporary home.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "FinderStandIn.h"
#include "TestProcess.h"
#include "Wait.h"

#ifndef PELLORA_TESTEXT_BUNDLE
#error "PELLORA_TESTEXT_BUNDLE names the test extension's bundle"
#endif
#ifndef PELLORA_CONSENT_PROBE
#error "PELLORA_CONSENT_PROBE names the consent probe's executable in its bundle"
#endif

namespace pellora::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kId = "com.zavro.pellora.tests.TestExt";

std::string contentOf(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeAtomically(const std::string& path, const std::string& content) {
  std::ofstream(path + ".tmp", std::ios::trunc) << content;
  fs::rename(path + ".tmp", path);
}

class FinderE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string root = finder_.root();
    share_ = root + "/share";
    other_ = root + "/other";
    for (const auto& folder : {share_ + "/sub", other_, root + "/ext"}) {
      fs::create_directories(folder);
    }
    for (const char* file : {"a.txt", "b-stub.dat", "c-stub", ".hidden-stub"}) {
      std::ofstream(share_ + "/" + file);
    }
    std::ofstream(other_ + "/x-stub");
    folders_ = root + "/ext/folders";
    extLog_ = root + "/ext/log";
    out_ = root + "/ext/out";
    writeAtomically(folders_, share_ + "\n");
    finder_.setEnv("PELLORA_TESTEXT_FOLDERS", folders_);
    finder_.setEnv("PELLORA_TESTEXT_LOG", extLog_);
    finder_.setEnv("PELLORA_TESTEXT_OUT", out_);
    ASSERT_TRUE(finder_.start());
  }

  void TearDown() override {
    // Finder must end cleanly; a sanitizer report from it or an extension (they share the log)
    // is a failure too.
    if (finder_.pid() > 0) {
      EXPECT_TRUE(finder_.stop()) << "finder serve did not exit with 0";
    }
    const std::string log = finder_.log();
    for (const char* report : {"Sanitizer", "runtime error:"}) {
      EXPECT_EQ(log.find(report), std::string::npos) << "a sanitizer report in the log";
    }
    if (HasFailure()) {
      std::cerr << "Finder's log:\n"
                << finder_.log() << "\nTestExt's calls:\n"
                << contentOf(extLog_) << "\n";
    }
  }

  // Runs the command line; expects success and returns what it printed.
  std::string finder(const std::vector<std::string>& args) {
    const auto r = finder_.run(args);
    EXPECT_EQ(r.status, 0) << "finder " << args.at(0) << ": " << r.err;
    return r.out;
  }

  // Registers TestExt and waits until it runs; its process id.
  pid_t registerExtension() {
    const auto r = finder_.pluginkit({"-a", PELLORA_TESTEXT_BUNDLE});
    EXPECT_EQ(r.status, 0) << r.err;
    pid_t pid = 0;
    EXPECT_TRUE(waitUntil([&] { return (pid = finder_.extensionPid(kId)) > 0; }));
    return pid;
  }

  bool waitBadge(const std::string& path, const std::string& badge) {
    const auto r = finder_.run({"wait-badge", path, badge, "10"});
    EXPECT_EQ(r.err, "");
    return r.status == 0;
  }

  bool extensionLogHas(const std::string& line) {
    return waitUntil(
        [&] { return ("\n" + contentOf(extLog_)).find("\n" + line + "\n") != std::string::npos; });
  }

  std::string shareListing(const std::string& a, const std::string& b, const std::string& c) {
    return a + "\ta.txt\n" + b + "\tb-stub.dat\n" + c + "\tc-stub\n-\tsub\n";
  }

  FinderStandIn finder_;
  std::string share_, other_, folders_, extLog_, out_;
};

TEST_F(FinderE2E, LaunchesARegisteredExtensionAndShowsItsBadges) {
  EXPECT_EQ(finder({"extensions"}), "");
  finder({"open", share_});
  EXPECT_EQ(finder({"ls", share_}), shareListing("-", "-", "-"));
  const pid_t pid = registerExtension();
  EXPECT_EQ(finder({"extensions"}), std::string(kId) + "\ton\t" + std::to_string(pid) + "\t" +
                                        PELLORA_TESTEXT_BUNDLE + "\n");
  ASSERT_TRUE(waitBadge(share_ + "/c-stub", "stub"));
  ASSERT_TRUE(waitBadge(share_ + "/b-stub.dat", "stub"));
  EXPECT_EQ(finder({"ls", share_}), shareListing("-", "stub", "stub"));
  EXPECT_EQ(finder({"observed"}), share_ + "\n");
  // The image set before the extension reached Finder arrived too.
  EXPECT_EQ(finder({"badges"}),
            "early\tEarly\t/test/images/early.png\nstub\tStub\t/test/images/stub.png\n");
  EXPECT_TRUE(extensionLogHas("1 begin " + share_));
  EXPECT_TRUE(extensionLogHas("1 badge " + share_ + "/a.txt"));
  // Hidden items are not shown, so not asked for.
  EXPECT_EQ(contentOf(extLog_).find(".hidden-stub"), std::string::npos);
  // A folder that is not observed gets no calls and shows no badges.
  finder({"open", other_});
  EXPECT_EQ(finder({"ls", other_}), "-\tx-stub\n");
  EXPECT_EQ(contentOf(extLog_).find("begin " + other_), std::string::npos);
}

TEST_F(FinderE2E, ChangingTheObservedFoldersDropsBadgesAndAsksForThemAgain) {
  finder({"open", share_});
  finder({"open", other_});
  registerExtension();
  ASSERT_TRUE(waitBadge(share_ + "/c-stub", "stub"));
  writeAtomically(folders_, other_ + "\n");
  ASSERT_TRUE(waitUntil([&] { return finder_.run({"observed"}).out == other_ + "\n"; }));
  // TestExt never clears a stub's badge itself: these went with the old folder.
  EXPECT_EQ(finder({"ls", share_}), shareListing("-", "-", "-"));
  ASSERT_TRUE(waitBadge(other_ + "/x-stub", "stub"));
  EXPECT_TRUE(extensionLogHas("1 end " + share_));
  EXPECT_TRUE(extensionLogHas("1 begin " + other_));
  // Observing both again: both folders are asked for again.
  writeAtomically(folders_, share_ + "\n" + other_ + "\n");
  ASSERT_TRUE(waitBadge(share_ + "/c-stub", "stub"));
  ASSERT_TRUE(waitBadge(other_ + "/x-stub", "stub"));
  EXPECT_EQ(finder({"observed"}), other_ + "\n" + share_ + "\n");
}

TEST_F(FinderE2E, MenuForTheSelectionAndAClickThatRunsTheItem) {
  finder({"open", share_});
  registerExtension();
  ASSERT_TRUE(waitUntil([&] { return finder_.run({"observed"}).out == share_ + "\n"; }));
  finder({"select", share_ + "/c-stub", share_ + "/a.txt"});
  EXPECT_EQ(finder({"menu"}), "[x] Write Selection\n");
  EXPECT_EQ(finder({"click"}), "Write Selection\n");
  ASSERT_TRUE(waitUntil([&] { return fs::exists(out_); }));
  EXPECT_EQ(contentOf(out_), share_ + "/c-stub\n" + share_ + "/a.txt\n");
  EXPECT_TRUE(extensionLogHas("1 menu 0"));
  // Other kinds reach the extension with theirs.
  EXPECT_EQ(finder({"menu", "toolbar"}), "[x] Write Selection\n");
  EXPECT_TRUE(extensionLogHas("1 menu 3"));
  const auto bad = finder_.run({"click", "4"});
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.err.find("no item 4"), std::string::npos) << bad.err;
  EXPECT_EQ(finder_.run({"menu", "sideways"}).status, 64);
  // A selection outside the observed folders has no menu.
  finder({"select", other_ + "/x-stub"});
  EXPECT_EQ(finder({"menu"}), "no menu\n");
  EXPECT_NE(finder_.run({"click"}).status, 0);
}

TEST_F(FinderE2E, SwitchedOffItStopsAndSwitchedOnItStartsAgain) {
  finder({"open", share_});
  const pid_t first = registerExtension();
  ASSERT_GT(first, 0);
  ASSERT_TRUE(waitBadge(share_ + "/c-stub", "stub"));
  ASSERT_EQ(finder_.pluginkit({"-e", "ignore", "-i", kId}).status, 0);
  ASSERT_TRUE(waitUntil([&] { return finder_.extensionPid(kId) == 0; }));
  EXPECT_EQ(finder({"extensions"}),
            std::string(kId) + "\toff\t-\t" + PELLORA_TESTEXT_BUNDLE + "\n");
  EXPECT_TRUE(extensionLogHas("0 exit 0"));  // it ended through the runtime, cleanly
  EXPECT_EQ(finder({"ls", share_}), shareListing("-", "-", "-"));
  EXPECT_EQ(finder({"observed"}), "");

  ASSERT_EQ(finder_.pluginkit({"-e", "use", "-i", kId}).status, 0);
  pid_t second = 0;
  ASSERT_TRUE(waitUntil([&] { return (second = finder_.extensionPid(kId)) > 0; }));
  EXPECT_NE(second, first);
  EXPECT_TRUE(waitBadge(share_ + "/c-stub", "stub"));
}

TEST_F(FinderE2E, AKilledExtensionIsStartedAgain) {
  finder({"open", share_});
  const pid_t first = registerExtension();
  ASSERT_GT(first, 0);
  ASSERT_TRUE(waitBadge(share_ + "/c-stub", "stub"));
  ASSERT_EQ(::kill(first, SIGKILL), 0);
  pid_t second = 0;
  ASSERT_TRUE(waitUntil([&] {
    second = finder_.extensionPid(kId);
    return second > 0 && second != first;
  }));
  EXPECT_TRUE(waitBadge(share_ + "/c-stub", "stub"));
  EXPECT_EQ(finder({"ls", share_}), shareListing("-", "stub", "stub"));
}

TEST_F(FinderE2E, ASecondPrincipalInTheSameProcessTakesTheCalls) {
  finder({"open", share_});
  const pid_t pid = registerExtension();
  ASSERT_TRUE(waitBadge(share_ + "/c-stub", "stub"));
  EXPECT_EQ(finder({"new-principal", kId}), "");
  // The new principal sets the observed folders again: Finder asks it for every badge.
  EXPECT_TRUE(extensionLogHas("2 principal"));
  EXPECT_TRUE(extensionLogHas("2 begin " + share_));
  EXPECT_TRUE(extensionLogHas("2 badge " + share_ + "/c-stub"));
  EXPECT_TRUE(waitBadge(share_ + "/c-stub", "stub"));
  EXPECT_EQ(finder_.extensionPid(kId), pid);
  finder({"select", share_ + "/a.txt"});
  EXPECT_EQ(finder({"menu"}), "[x] Write Selection\n");
  EXPECT_TRUE(extensionLogHas("2 menu 0"));
  EXPECT_NE(finder_.run({"new-principal", "no.such.extension"}).status, 0);
}

TEST_F(FinderE2E, QuitStopsFinderAndItsExtensions) {
  const pid_t pid = registerExtension();
  ASSERT_GT(pid, 0);
  // Up to its principal, so that its runtime is the one that hears the stop.
  ASSERT_TRUE(extensionLogHas("1 principal"));
  EXPECT_EQ(finder({"quit"}), "");
  int status = -1;
  ASSERT_TRUE(waitUntil([&] { return finder_.ended(&status); }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(extensionLogHas("0 exit 0"));
  EXPECT_FALSE(fs::exists(finder_.socket()));
  const auto r = finder_.run({"ls", share_});
  EXPECT_EQ(r.status, 69);
  EXPECT_NE(r.err.find("no Finder is running"), std::string::npos);
}

// Consent to control Finder, asked by a program in a bundle of its own.
class FinderConsentE2E : public FinderE2E {
 protected:
  static constexpr const char* kProbeId = "com.zavro.pellora.tests.ConsentProbe";

  std::map<std::string, std::string> env() const {
    return {{"HOME", finder_.home()},
            {"XDG_CONFIG_HOME", finder_.config()},
            {"PELLORA_LOG", "stderr"}};
  }
  // What the probe prints for args.
  std::string probe(const std::vector<std::string>& args) {
    std::vector<std::string> argv{PELLORA_CONSENT_PROBE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string output;
    EXPECT_EQ(runToEnd(argv, env(), &output, 20s), 0) << output;
    return output;
  }
  static bool says(const std::string& output, const std::string& line) {
    return ("\n" + output).find("\n" + line + "\n") != std::string::npos;
  }
};

TEST_F(FinderConsentE2E, TheUsersAnswerIsKeptForTheAskingBundle) {
  EXPECT_TRUE(says(probe({"check"}), "result -1744"));
  // Asking waits for the user; Finder names the bundle the asking process runs from.
  TestProcess asker;
  ASSERT_TRUE(asker.start({PELLORA_CONSENT_PROBE, "ask"}, env(), finder_.root() + "/asker.log"));
  const std::string question =
      "question\t1\t" + std::string(kProbeId) + "\t" + std::to_string(asker.pid()) + "\n";
  ASSERT_TRUE(waitUntil([&] { return finder({"consent"}) == question; }));
  EXPECT_TRUE(asker.running());
  finder({"consent", "allow", "1"});
  ASSERT_TRUE(asker.waitExit(10s));
  EXPECT_TRUE(says(asker.log(), "result 0")) << asker.log();
  EXPECT_TRUE(says(probe({"check"}), "result 0"));
  EXPECT_TRUE(says(probe({"script", share_}), "set"));
  EXPECT_TRUE(says(finder({"view-options", share_}),
                   "icon\tshowsIconPreview=off\tshowsPreviewColumn=on"));

  // The decision outlasts Finder.
  ASSERT_TRUE(finder_.stop());
  ASSERT_TRUE(finder_.start());
  EXPECT_EQ(finder({"consent"}), "allow\t" + std::string(kProbeId) + "\n");
  EXPECT_TRUE(says(probe({"check"}), "result 0"));

  // Denied, it may neither control Finder nor script it.
  finder({"consent", "deny", kProbeId});
  EXPECT_TRUE(says(probe({"check"}), "result -1743"));
  EXPECT_TRUE(says(probe({"ask"}), "result -1743"));
  const std::string denied = probe({"script", share_});
  EXPECT_TRUE(says(denied, "failed")) << denied;
  EXPECT_NE(denied.find("(-1743)"), std::string::npos) << denied;
}

TEST(FinderE2EAlone, TheExtensionOutsideFinderEndsWithStatusTwo) {
  FinderStandIn finder;                      // for its temporary home and environment only
  const auto r = finder.pluginkit({}, 10s);  // usage; proves the tools run at all
  EXPECT_EQ(r.status, 64);
  const std::string exe = std::string(PELLORA_TESTEXT_BUNDLE) + "/Contents/MacOS/TestExt";
  FinderStandIn::Options options;
  options.binary = exe;
  FinderStandIn bare(options);
  const auto ext = bare.run({});
  EXPECT_EQ(ext.status, 2);
  EXPECT_NE(ext.err.find("PELLORA_FINDERSYNC_FD"), std::string::npos) << ext.err;
}

}  // namespace
}  // namespace pellora::testing
