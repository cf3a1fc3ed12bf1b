// Preview control on the simulated gateway: the Finder stand-in makes previews of the stubs in
// a folder it lists (downloading them) until FinderScriptManager, in this process, switches that
// folder's previews off through Finder's scripting socket.
#include <gtest/gtest.h>
#include <unistd.h>

#include "FinderStandIn.h"
#include "GatewaySim.h"
#include "finder/FinderScriptManager.h"
#include "xattr/Xattr.h"

namespace pellora::testing {
namespace {

using namespace std::chrono_literals;

bool stillStub(const std::string& path) {
  char value[8] = {};
  return platform::xattr::get(path, "is.zavro.stub", value, sizeof value, 0, 0) == 5;
}

class PreviewE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting the simulated share needs root";
    for (const char* rel : {"seen/a.dat", "seen/b.dat", "docs/one.dat", "docs/two.dat",
                            "docs/sub/three.dat"}) {
      sim.addStub(rel, std::string("content of ") + rel);
    }
    ASSERT_TRUE(sim.mount());
    ASSERT_TRUE(finder.start());
    manager = std::make_shared<FinderScriptManager>(
        platform::finderscript::FinderApplication::applicationAtSocket(finder.scriptingSocket()));
    ASSERT_TRUE(sim.resetCounters());
  }

  void TearDown() override {
    if (HasFailure()) std::cerr << "Finder's log:\n" << finder.log() << "\n";
  }

  int downloads(const std::string& rel) {
    return sim.counters()["downloads"].value(rel, 0);
  }
  int contentReads(const std::string& rel) {
    return sim.counters()["contentReads"].value(rel, 0);
  }
  std::string run(const std::vector<std::string>& args) {
    const auto r = finder.run(args);
    EXPECT_EQ(r.status, 0) << args.at(0) << ": " << r.err;
    return r.out;
  }

  GatewaySim sim;
  FinderStandIn finder;
  std::shared_ptr<FinderScriptManager> manager;
};

TEST_F(PreviewE2E, ListingHydratesStubsUntilTheirFoldersPreviewsAreOff) {
  // Finder's defaults: listing a folder reads every stub in it, which downloads it.
  EXPECT_EQ(run({"ls", sim.path("seen")}), "-\ta.dat\n-\tb.dat\n");
  EXPECT_EQ(downloads("seen/a.dat"), 1);
  EXPECT_EQ(downloads("seen/b.dat"), 1);
  EXPECT_FALSE(stillStub(sim.path("seen/a.dat")));

  // Off for a folder and the folders below it: listing reads nothing.
  manager->setPreviewState(0, sim.path("docs"));
  for (const char* rel : {"docs", "docs/sub"}) {
    EXPECT_EQ(run({"view-options", sim.path(rel)}),
              "list\tshowsIconPreview=off\tshowsPreviewColumn=off\n"
              "column\tshowsIconPreview=off\tshowsPreviewColumn=off\n"
              "icon\tshowsIconPreview=off\tshowsPreviewColumn=off\n")
        << rel;
  }
  EXPECT_EQ(run({"ls", sim.path("docs")}), "-\tone.dat\n-\tsub\n-\ttwo.dat\n");
  EXPECT_EQ(run({"ls", sim.path("docs/sub")}), "-\tthree.dat\n");
  for (const char* rel : {"docs/one.dat", "docs/two.dat", "docs/sub/three.dat"}) {
    EXPECT_EQ(downloads(rel), 0) << rel;
    EXPECT_EQ(contentReads(rel), 0) << rel;
    EXPECT_TRUE(stillStub(sim.path(rel))) << rel;
  }

  // On again for the folder alone: its stubs download, those below it stay.
  manager->turnPreviewStateForDirURL(1, sim.path("docs"));
  run({"ls", sim.path("docs")});
  EXPECT_EQ(downloads("docs/one.dat"), 1);
  EXPECT_EQ(downloads("docs/two.dat"), 1);
  run({"ls", sim.path("docs/sub")});
  EXPECT_TRUE(stillStub(sim.path("docs/sub/three.dat")));
}

}  // namespace
}  // namespace pellora::testing
