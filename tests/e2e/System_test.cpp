// The whole add-on over real processes, each in a temporary home: the simulated gateway share,
// the service started from its bundle, the Finder stand-in, and the Finder extension that Finder
// runs from the service's bundle. Badges, their changes, the service going away and coming
// back, the context menu, and bringing a selection online. Finder previews what it lists (which
// downloads stubs) unless the service has switched the opened folder's previews off.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "FinderStandIn.h"
#include "GatewaySim.h"
#include "TestProcess.h"
#include "Wait.h"
#include "xattr/Xattr.h"

namespace pellora::testing {
namespace {

using namespace std::chrono_literals;
constexpr const char* kExtensionId = "com.zavro.Pellora.Service.Finder";

class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting the simulated share needs root";
    // The extension finds the service's port file in the home of its user database entry.
    finder.setEnv("PELLORA_USER_DB_HOME", finder.home());
    finder.setEnv("PELLORA_LOG", "stderr");
  }

  void TearDown() override {
    if (HasFailure()) {
      std::cerr << "Service log:\n" << service.log() << "\nFinder log:\n" << finder.log() << "\n";
    }
    service.stop();
  }

  // Mounts the share, starts Finder with the extension registered and the service; returns when
  // the extension observes the share.
  void startAll() {
    ASSERT_TRUE(sim.mount());
    ASSERT_TRUE(finder.start());
    ASSERT_EQ(finder.pluginkit({"-a", PELLORA_EXTENSION_BUNDLE}).status, 0);
    startService();
    ASSERT_TRUE(observing());
  }

  void startService() {
    ASSERT_TRUE(service.start({PELLORA_SERVICE_PATH},
                              {{"HOME", finder.home()}, {"XDG_CONFIG_HOME", finder.config()},
                               {"XDG_DATA_HOME", finder.data()}, {"PELLORA_LOG", "stderr"}},
                              finder.root() + "/service.log"));
  }

  bool observing() {
    return waitUntil([&] { return finder.run({"observed"}).out.find(sim.mountPoint()) != std::string::npos; },
                     20s);
  }

  bool waitBadge(const std::string& path, const std::string& badge, int seconds = 15) {
    const auto r = finder.run({"wait-badge", path, badge, std::to_string(seconds)},
                              std::chrono::seconds(seconds + 30));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0;
  }

  std::string run(const std::vector<std::string>& args) {
    const auto r = finder.run(args);
    EXPECT_EQ(r.status, 0) << args.at(0) << ": " << r.err;
    return r.out;
  }

  // No communication file: the service switches every opened share folder's previews off.
  bool previewsOff(const std::string& folder) {
    const std::string off = "list\tshowsIconPreview=off\tshowsPreviewColumn=off\n"
                            "column\tshowsIconPreview=off\tshowsPreviewColumn=off\n"
                            "icon\tshowsIconPreview=off\tshowsPreviewColumn=off\n";
    return waitUntil([&] { return finder.run({"view-options", folder}).out == off; }, 15s);
  }

  bool stillStub(const std::string& path) {
    char value[8] = {};
    return platform::xattr::get(path, "is.zavro.stub", value, sizeof value, 0, 0) == 5;
  }

  GatewaySim sim;
  FinderStandIn finder;
  TestProcess service;
};

TEST_F(SystemTest, BadgesFollowTheShareTheGatewayAndTheService) {
  const std::string a = sim.addStub("docs/a.pdf", "A");
  const std::string b = sim.addStub("docs/b.pdf", "B");
  const std::string c = sim.addOnline("docs/c.txt", "C");
  const std::string d = sim.addStub("docs/d.pdf", "D");
  startAll();
  run({"open", sim.path("docs")});
  ASSERT_TRUE(waitBadge(a, "FileIconCache"));
  ASSERT_TRUE(waitBadge(b, "FileIconCache"));
  ASSERT_TRUE(waitBadge(d, "FileIconCache"));
  // Finder previews what it lists until the service has switched the opened folder's previews
  // off, which follows the opening asynchronously.
  ASSERT_TRUE(previewsOff(sim.path("docs")));
  EXPECT_EQ(run({"ls", sim.path("docs")}),
            "FileIconCache\ta.pdf\nFileIconCache\tb.pdf\n-\tc.txt\nFileIconCache\td.pdf\n");
  for (const auto& stub : {a, b, d}) EXPECT_TRUE(stillStub(stub)) << stub;
  EXPECT_NE(run({"badges"}).find("zavroMacPellora.icns"), std::string::npos);

  // The gateway brings a stub online: the watcher sees it and the badge follows.
  char digit[2] = {};
  ASSERT_EQ(platform::xattr::get(a, "zavro.download.file", digit, sizeof digit, 0, 0), 1);
  EXPECT_TRUE(waitBadge(a, "FileIconNone"));

  // The service goes away. While it is away the gateway brings b online: nobody tells Finder,
  // so b keeps its stale badge. The service comes back (with a new port and key): the extension
  // reconnects, observes the share again and Finder asks for every badge anew, so b loses its
  // badge and the stub d keeps its own.
  ASSERT_EQ(service.stop(), 0);
  ASSERT_EQ(platform::xattr::get(b, "zavro.download.file", digit, sizeof digit, 0, 0), 1);
  EXPECT_EQ(run({"ls", sim.path("docs")}).substr(0, 32), "FileIconNone\ta.pdf\nFileIconCache");
  startService();
  EXPECT_TRUE(waitBadge(b, "-"));
  EXPECT_TRUE(waitBadge(d, "FileIconCache"));

  // The context menu on a selection sends it to the service, which brings it online.
  run({"select", d, c});
  EXPECT_EQ(run({"menu"}), "[x] Bring Items Online\n");
  EXPECT_EQ(run({"click"}), "Bring Items Online\n");
  EXPECT_TRUE(waitBadge(d, "FileIconNone"));
  EXPECT_FALSE(stillStub(d));
  const auto counters = sim.counters();
  EXPECT_EQ(counters["downloadReads"].value("docs/d.pdf", 0), 1);
  EXPECT_EQ(counters["downloadReads"].value("docs/c.txt", 0), 1);
}

TEST_F(SystemTest, BadgeOfAnAccentedNameFollowsItsFile) {
  // Names are stored as written, usually composed; the service's push names that file.
  const std::string accented = sim.addStub("docs/R\xC3\xA9sum\xC3\xA9 caf\xC3\xA9.pdf", "CV");
  startAll();
  run({"open", sim.path("docs")});
  ASSERT_TRUE(waitBadge(accented, "FileIconCache"));
  char digit[2] = {};
  ASSERT_EQ(platform::xattr::get(accented, "zavro.download.file", digit, sizeof digit, 0, 0), 1);
  EXPECT_TRUE(waitBadge(accented, "FileIconNone"));
}

TEST_F(SystemTest, MenuTitleFollowsTheSelection) {
  const std::string stub = sim.addStub("m/stub.bin", "s");
  const std::string online = sim.addOnline("m/online.txt", "o");
  const std::string folder = sim.addFolder("m/folder");
  startAll();
  run({"open", sim.path("m")});
  run({"select", stub});
  EXPECT_EQ(run({"menu"}), "[x] Bring File Online\n");
  run({"select", folder});
  EXPECT_EQ(run({"menu"}), "[x] Bring Folder Online\n");
  run({"select", online});
  EXPECT_EQ(run({"menu"}), "[ ] File Is Online\n");
  run({"select", stub, online, folder});
  EXPECT_EQ(run({"menu"}), "[x] Bring Items Online\n");

  // Finder makes a second principal object in the same process: it gets the observed folders
  // and the badge image replayed, and serves the badges and the menu as the first did.
  run({"new-principal", kExtensionId});
  EXPECT_TRUE(waitBadge(stub, "FileIconCache"));
  EXPECT_NE(run({"observed"}).find(sim.mountPoint()), std::string::npos);
  run({"select", online});
  EXPECT_EQ(run({"menu"}), "[ ] File Is Online\n");
}

TEST_F(SystemTest, SelectionOfStubsAndAFolderComesOnlineThroughTheMenu) {
  const std::string one = sim.addStub("work/one.doc", "1");
  const std::string two = sim.addStub("work/two.doc", "2");
  const std::string inner1 = sim.addStub("work/project/x.dat", "x");
  const std::string inner2 = sim.addStub("work/project/deep/y.dat", "y");
  startAll();
  run({"open", sim.path("work")});
  run({"open", sim.path("work/project")});
  ASSERT_TRUE(waitBadge(one, "FileIconCache"));
  ASSERT_TRUE(waitBadge(inner1, "FileIconCache"));
  run({"select", one, two, sim.path("work/project")});
  EXPECT_EQ(run({"menu"}), "[x] Bring Items Online\n");
  run({"click"});
  for (const auto& f : {one, two, inner1}) EXPECT_TRUE(waitBadge(f, "FileIconNone")) << f;
  EXPECT_TRUE(waitUntil([&] { return !stillStub(inner2); }, 15s));
  const auto reads = sim.counters()["downloadReads"];
  for (const char* rel : {"work/one.doc", "work/two.doc", "work/project/x.dat", "work/project/deep/y.dat"}) {
    EXPECT_EQ(reads.value(rel, 0), 1) << rel;
  }
}

}  // namespace
}  // namespace pellora::testing
