// Pellora in Nautilus itself: Nautilus under Xvfb with a D-Bus session of its own and the adapter
// module, on a simulated gateway share. Previews: a folder of stubs browsed with previews off
// reads nothing (while with previews on Nautilus does read stubs to make thumbnails). Emblems:
// a screenshot shows the stub emblem on the stubs and on nothing else, checked by the emblem's
// colour in the grabbed picture; bringing the files online through the adapter's menu item
// takes the emblems away. The screenshots are kept in the build's test-artifacts folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "GatewaySim.h"
#include "NautilusSession.h"
#include "TempDir.h"
#include "TestProcess.h"
#include "Wait.h"
#include "ZVFileManager.h"
#include "plugins/PluginRegistry.h"

namespace pellora::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Image = NautilusSession::Image;

// The stub emblem's disc (resources/zavroMacPellora.icns) as Nautilus draws it.
constexpr int kEmblemRgb[3] = {0x1f, 0x6f, 0xd6};

struct Blob {
  int x0, y0, x1, y1, area;
  int cx() const { return (x0 + x1) / 2; }
};

// The patches of the emblem's colour, each the size of an emblem.
std::vector<Blob> emblems(const Image& image) {
  auto isEmblem = [&](int x, int y) {
    const uint8_t* p = image.at(x, y);
    for (int c = 0; c < 3; ++c) {
      if (std::abs(p[c] - kEmblemRgb[c]) > 40) return false;
    }
    return true;
  };
  std::vector<char> seen(static_cast<size_t>(image.width) * image.height, 0);
  std::vector<Blob> out;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      if (seen[y * image.width + x] || !isEmblem(x, y)) continue;
      Blob b{x, y, x, y, 0};
      std::deque<std::pair<int, int>> todo{{x, y}};
      seen[y * image.width + x] = 1;
      while (!todo.empty()) {
        const auto [px, py] = todo.front();
        todo.pop_front();
        ++b.area;
        b.x0 = std::min(b.x0, px), b.x1 = std::max(b.x1, px);
        b.y0 = std::min(b.y0, py), b.y1 = std::max(b.y1, py);
        for (const auto& [dx, dy] : {std::pair{1, 0}, {-1, 0}, {0, 1}, {0, -1}}) {
          const int nx = px + dx, ny = py + dy;
          if (nx < 0 || ny < 0 || nx >= image.width || ny >= image.height) continue;
          if (seen[ny * image.width + nx] || !isEmblem(nx, ny)) continue;
          seen[ny * image.width + nx] = 1;
          todo.push_back({nx, ny});
        }
      }
      if (b.area >= 40 && b.area <= 1500) out.push_back(b);
    }
  }
  return out;
}

bool white(const uint8_t* p) { return p[0] == 255 && p[1] == 255 && p[2] == 255; }

// The extent of the white file view on an empty row y: right of the sidebar (whose background
// is a shade darker), left of the window's edge.
std::pair<int, int> view(const Image& image, int y) {
  int left = 0;
  while (left + 20 < image.width) {
    int run = 0;
    while (run < 20 && white(image.at(left + run, y))) ++run;
    if (run == 20) break;
    left += run + 1;
  }
  int right = left;
  while (right < image.width && white(image.at(right, y))) ++right;
  return {left, right};
}

// The horizontal extents of what is drawn on the file view between rows top and bottom: one
// per item of a row of icons, with its emblem. emptyRow: a row of the view below the items.
std::vector<std::pair<int, int>> items(const Image& image, int top, int bottom, int emptyRow) {
  const auto [left, right] = view(image, emptyRow);
  std::vector<std::pair<int, int>> out;
  for (int x = left; x < right; ++x) {
    bool drawn = false;
    for (int y = std::max(top, 0); y < std::min(bottom, image.height) && !drawn; ++y) {
      drawn = std::min({image.at(x, y)[0], image.at(x, y)[1], image.at(x, y)[2]}) < 215;
    }
    if (!drawn) continue;
    // An emblem sits a little right of its icon; the next item is farther.
    if (!out.empty() && x - out.back().second <= 24) {
      out.back().second = x;
    } else {
      out.push_back({x, x});
    }
  }
  return out;
}

// How much of the window's area right of the sidebar is drawn on: icons, not a blank view.
size_t drawn(const Image& image) {
  size_t n = 0;
  for (int y = 60; y < std::min(530, image.height); ++y) {
    for (int x = 300; x < std::min(880, image.width); ++x) {
      n += std::min({image.at(x, y)[0], image.at(x, y)[1], image.at(x, y)[2]}) < 215;
    }
  }
  return n;
}

std::string artifacts() {
  const std::string dir = PELLORA_ARTIFACT_DIR;
  fs::create_directories(dir);
  return dir;
}

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class NautilusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting the simulated share needs root";
    if (const std::string missing = NautilusSession::missingPrograms(); !missing.empty()) {
      GTEST_SKIP() << "not installed: " << missing;
    }
    if (!NautilusSession::isolated()) GTEST_SKIP() << "needs the namespaces of tests/isolated.sh";
    home_ = dir_.mkdir("home");
    env_ = {{"HOME", home_},
            {"XDG_CONFIG_HOME", dir_ / "config"},
            {"XDG_DATA_HOME", dir_.mkdir("data")},
            {"XDG_CACHE_HOME", dir_ / "cache"},
            {"PELLORA_USER_DB_HOME", home_},
            {"PELLORA_LOG", "stderr"}};
    // The preview choice is read from this process's idea of the data folder.
    for (const auto& [name, value] : env_) ::setenv(name.c_str(), value.c_str(), 1);
  }
  void TearDown() override {
    if (HasFailure() && session_) {
      std::cerr << "Nautilus log:\n" << session_->log() << "\nService log:\n" << service_.log() << "\n";
    }
    session_.reset();
    service_.stop();
  }

  // A small PNG image, for the cloud copies of stubs that Nautilus could make thumbnails of.
  std::string png(const std::string& colour) {
    const std::string file = dir_ / ("image-" + colour + ".png");
    EXPECT_EQ(runToEnd({"convert", "-size", "48x48", "xc:" + colour, file}, {}), 0);
    return contentOf(file);
  }

  bool startNautilus(bool withService) {
    if (!sim_.mount()) return false;
    if (withService) {
      platform::plugins::PluginRegistry registry;
      if (!registry.add(PELLORA_EXTENSION_BUNDLE)) return false;
      if (!service_.start({PELLORA_SERVICE_PATH}, {{"QT_QPA_PLATFORM", "offscreen"}},
                          dir_ / "service.log")) {
        return false;
      }
    }
    NautilusSession::Options options;
    options.module = PELLORA_NAUTILUS_MODULE;
    options.extensionDir = PELLORA_NAUTILUS_EXTENSION_DIR;
    options.dataDir = PELLORA_NAUTILUS_DATA_DIR;
    options.env = env_;
    // Thumbnails of every file Nautilus can make them of, not only local ones; no sidebar, so
    // that a row of icons is all a window shows.
    options.settings["org/gnome/nautilus/preferences"] = {"show-image-thumbnails='always'",
                                                          "default-folder-viewer='icon-view'"};
    options.settings["org/gnome/nautilus/window-state"] = {"start-with-sidebar=false"};
    session_ = std::make_unique<NautilusSession>(options);
    return session_->start();
  }

  size_t count(const nlohmann::json& counters, const char* kind, const std::string& prefix) {
    size_t n = 0;
    for (const auto& [rel, value] : counters[kind].items()) {
      if (rel.rfind(prefix, 0) == 0) n += value.get<size_t>();
    }
    return n;
  }

  TempDir dir_;
  std::string home_;
  std::map<std::string, std::string> env_;
  GatewaySim sim_;
  TestProcess service_;
  std::unique_ptr<NautilusSession> session_;
};

TEST_F(NautilusTest, AFolderOfStubsBrowsedWithPreviewsOffReadsNothing) {
  const std::string image = png("blue");
  // The control folder: Nautilus does read stubs there, to make their thumbnails.
  for (int i = 0; i < 4; ++i) sim_.addStub("control/pic-" + std::to_string(i) + ".png", image);
  // Names that tell their type: Nautilus reads no content to learn it.
  for (int i = 0; i < 100; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, i % 2 ? "photos/doc-%03d.pdf" : "photos/img-%03d.png", i);
    sim_.addStub(name, i % 2 ? std::string("%PDF-1.4\n") : image);
  }
  ZVFileManager().setPreviewStateEnabled(true);
  ASSERT_TRUE(startNautilus(false));
  ASSERT_TRUE(sim_.resetCounters());

  ASSERT_TRUE(session_->open(sim_.path("control")));
  EXPECT_TRUE(waitUntil([&] { return count(sim_.counters(), "downloads", "control/") == 4; }, 30s))
      << sim_.counters();

  ZVFileManager().setPreviewStateEnabled(false);
  ASSERT_TRUE(waitUntil([&] {
    return session_->log().find("Previews in gateway folders are off") != std::string::npos;
  }));
  const std::string cache = dir_ / "cache/thumbnails/fail/gnome-thumbnail-factory";
  // The failure records of the thumbnail cache that name a file of the folder.
  auto records = [&] {
    std::error_code ec;
    size_t n = 0;
    const std::string uri = std::string("Thumb::URI") + '\0' + "file://" + sim_.path("photos/");
    for (auto it = fs::directory_iterator(cache, ec); !ec && it != fs::directory_iterator(); ++it) {
      n += contentOf(it->path().string()).find(uri) != std::string::npos;
    }
    return n;
  };
  ASSERT_TRUE(session_->open(sim_.path("photos")));
  // Every file of the folder has its record as soon as Nautilus asks about the first.
  ASSERT_TRUE(waitUntil([&] { return records() == 100; }, 30s)) << records();
  ASSERT_TRUE(waitUntil([&] {
    const auto shot = session_->grab(artifacts() + "/nautilus-previews-off.png");
    return shot && drawn(*shot) > 3000;
  }));
  // With previews on, the control folder's thumbnails came within the time given here.
  EXPECT_FALSE(waitUntil(
      [&] {
        const auto c = sim_.counters();
        return count(c, "downloads", "photos/") + count(c, "downloadReads", "photos/") +
                   count(c, "contentReads", "photos/") > 0;
      },
      5s))
      << sim_.counters();
}

TEST_F(NautilusTest, TheScreenShowsEmblemsOnStubsOnlyUntilTheyAreBroughtOnline) {
  // In name order on one row: stub, online, stub, online.
  sim_.addStub("docs/a-report.pdf", "%PDF-1.4\n");
  sim_.addOnline("docs/b-notes.txt", "notes\n");
  sim_.addStub("docs/c-photo.png", png("blue"));
  sim_.addOnline("docs/d-photo.png", png("green"));
  ASSERT_TRUE(startNautilus(true));
  ASSERT_TRUE(session_->open(sim_.path("docs")));

  // Stubs are the first and the third item.
  const std::string first = artifacts() + "/nautilus-emblems.png";
  std::vector<Blob> blobs;
  std::vector<std::pair<int, int>> row;
  ASSERT_TRUE(waitUntil(
      [&] {
        const auto image = session_->grab(first);
        if (!image) return false;
        blobs = emblems(*image);
        if (blobs.size() != 2 || blobs[0].y0 != blobs[1].y0) return false;
        row = items(*image, blobs[0].y0, blobs[0].y0 + 70, blobs[0].y0 + 200);
        return row.size() == 4;
      },
      30s))
      << blobs.size() << " emblems, " << row.size() << " items";
  std::sort(blobs.begin(), blobs.end(), [](const Blob& a, const Blob& b) { return a.x0 < b.x0; });
  auto itemOf = [&](const Blob& b) {
    for (size_t i = 0; i < row.size(); ++i) {
      if (b.cx() >= row[i].first && b.cx() <= row[i].second) return static_cast<int>(i);
    }
    return -1;
  };
  EXPECT_EQ(itemOf(blobs[0]), 0);
  EXPECT_EQ(itemOf(blobs[1]), 2);
  // Nothing was read to show them.
  auto counters = sim_.counters();
  EXPECT_EQ(count(counters, "downloads", "") + count(counters, "contentReads", ""), 0u) << counters;

  // All selected, the context menu's last item but one is the adapter's: "Bring Items Online".
  const int x = row[0].first + 20, y = blobs[0].y0 + 30;
  session_->xdotool({"mousemove", std::to_string(x), std::to_string(y), "click", "1"});
  session_->xdotool({"key", "ctrl+a"});
  session_->xdotool({"mousemove", std::to_string(x), std::to_string(y), "click", "3"});
  // The menu is up once its frame darkens the window (no compositor draws its shadow).
  ASSERT_TRUE(waitUntil(
      [&] {
        const auto image = session_->grab(dir_ / "menu.png");
        size_t dark = 0;
        for (int py = 60; image && py < 540; ++py) {
          for (int px = 0; px < 880; ++px) dark += image->at(px, py)[0] == 0 && image->at(px, py)[2] == 0;
        }
        return dark > 5000;
      },
      10s));
  session_->xdotool({"key", "Up", "Up", "Return"});
  ASSERT_TRUE(waitUntil([&] { return count(sim_.counters(), "downloads", "docs/") == 2; }, 30s))
      << sim_.counters();
  counters = sim_.counters();
  EXPECT_EQ(counters["downloads"].value("docs/a-report.pdf", 0), 1);
  EXPECT_EQ(counters["downloads"].value("docs/c-photo.png", 0), 1);

  const std::string second = artifacts() + "/nautilus-online.png";
  EXPECT_TRUE(waitUntil(
      [&] {
        const auto image = session_->grab(second);
        return image && emblems(*image).empty();
      },
      30s));
}

}  // namespace
}  // namespace pellora::testing
