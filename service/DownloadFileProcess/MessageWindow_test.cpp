// The progress window on the offscreen platform: loading from the bundle, the ring's geometry
// and colours, and pictures of it at three moments of a request.
#include "DownloadFileProcess/MessageWindow.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <filesystem>

#include "QtTestEnvironment.h"  // one application for the whole binary
#include "TempDir.h"
#include "WindowBundle.h"

namespace {

using pellora::testing::TempDir;
using pellora::testing::bundleWithMessageWindow;

bool near(QColor a, QColor b, int tolerance = 40) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

TEST(MessageWindow, LoadsFromTheBundleWithItsOutlets) {
  TempDir dir;
  auto window = MessageWindow::loadFromNib(bundleWithMessageWindow(dir));
  ASSERT_TRUE(window);
  ASSERT_TRUE(window->circleAnimationView);
  ASSERT_TRUE(window->mainLabel);
  EXPECT_EQ(window->mainButtonText(), "Cancel");
  EXPECT_EQ(window->secondaryButtonText(), "Close");
  EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(window->mainButton->isFlat());
  window->setText("hello");
  EXPECT_EQ(window->text(), "hello");
  bool clicked = false;
  window->setMainButton([&] { clicked = true; });
  window->mainButton->click();
  EXPECT_TRUE(clicked);
}

TEST(MessageWindow, MissingOrForeignResourceGivesNoWindow) {
  TempDir dir;
  dir.mkdir("Empty.app/Contents/Resources");
  EXPECT_FALSE(MessageWindow::loadFromNib(platform::bundle::Bundle(dir / "Empty.app")));
  dir.write("Other.app/Contents/Resources/MessageWindow.ui",
            R"(<ui version="4.0"><widget class="QWidget" name="w"/></ui>)");
  EXPECT_FALSE(MessageWindow::loadFromNib(platform::bundle::Bundle(dir / "Other.app")));
  dir.write("Broken.app/Contents/Resources/MessageWindow.ui", "not xml");
  EXPECT_FALSE(MessageWindow::loadFromNib(platform::bundle::Bundle(dir / "Broken.app")));
}

TEST(CircleAnimationView, RingGeometryFollowsTheFrame) {
  CircleAnimationView view;
  view.resize(110, 110);
  EXPECT_DOUBLE_EQ(view.radius(), 50.0);
  EXPECT_EQ(view.center(), QPointF(55, 55));
  ASSERT_TRUE(view.circleLayer());
  EXPECT_EQ(view.circleLayer()->lineWidth, 4.0);
  EXPECT_EQ(view.circleLayer()->strokeEnd, 0.0);
  EXPECT_EQ(view.circleLayer()->strokeColor, CircleAnimationView::kSystemGreen);
}

TEST(MessageWindow, RingOnlyMovesForwardAndShiftsFromRedToGreen) {
  TempDir dir;
  auto window = MessageWindow::loadFromNib(bundleWithMessageWindow(dir));
  ASSERT_TRUE(window);
  auto& ring = *window->circleAnimationView->circleLayer();
  window->updateProgress(0.7);
  window->updateProgress(0.5);
  EXPECT_DOUBLE_EQ(ring.strokeEnd, 0.7);
  window->updateProgress(1.2);
  EXPECT_DOUBLE_EQ(ring.strokeEnd, 0.7);
  window->updateProgress(1.0);
  EXPECT_DOUBLE_EQ(ring.strokeEnd, 1.0);
  EXPECT_EQ(ring.strokeColor, QColor(0, 255, 0));
  window->markError();
  EXPECT_EQ(ring.strokeColor, CircleAnimationView::kSystemRed);
  EXPECT_DOUBLE_EQ(ring.strokeEnd, 1.0);
  // A new batch in the same window.
  window->resetProgress();
  EXPECT_DOUBLE_EQ(ring.strokeEnd, 0.0);
  EXPECT_EQ(ring.strokeColor, CircleAnimationView::kSystemGreen);
  window->updateProgress(0.25);
  EXPECT_DOUBLE_EQ(ring.strokeEnd, 0.25);
}

TEST(MessageWindow, PicturesGoToTheFolderItIsGiven) {
  TempDir dir;
  const std::string folder = dir.mkdir("pictures");
  auto window = MessageWindow::loadFromNib(bundleWithMessageWindow(dir), {folder});
  ASSERT_TRUE(window);
  window->setText("one");
  window->updateProgress(0.6);  // past half way
  window->setText("two");
  size_t pictures = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    EXPECT_EQ(entry.path().extension(), ".png");
    EXPECT_FALSE(QImage(QString::fromStdString(entry.path().string())).isNull());
    ++pictures;
  }
  EXPECT_EQ(pictures, 3u);
}

TEST(MessageWindow, PicturesAtThreeMomentsShowTheRing) {
  TempDir dir;
  auto window = MessageWindow::loadFromNib(bundleWithMessageWindow(dir));
  ASSERT_TRUE(window);
  window->show();
  const QPoint offset = window->circleAnimationView->geometry().topLeft();
  const QPointF c = window->circleAnimationView->center() + offset;
  const double r = window->circleAnimationView->radius();
  // Points on the ring: three o'clock is where it starts; it grows clockwise on screen.
  const QPoint bottom(static_cast<int>(c.x()), static_cast<int>(c.y() + r));
  const QPoint top(static_cast<int>(c.x()), static_cast<int>(c.y() - r));
  const std::string artifacts = PELLORA_ARTIFACT_DIR;
  std::filesystem::create_directories(artifacts);

  window->setText("Preparing files for download…");
  QImage preparing = window->grab().toImage();
  EXPECT_TRUE(preparing.save(QString::fromStdString(artifacts + "/progress-preparing.png")));
  const QColor background = preparing.pixelColor(bottom);

  window->setText("Bringing files online…");
  window->updateProgress(0.5);
  QImage half = window->grab().toImage();
  EXPECT_TRUE(half.save(QString::fromStdString(artifacts + "/progress-half.png")));
  EXPECT_TRUE(near(half.pixelColor(bottom), QColor(128, 128, 0))) << half.pixelColor(bottom).name().toStdString();
  EXPECT_TRUE(near(half.pixelColor(top), background, 10));  // not reached yet

  window->updateProgress(1.0);
  window->setText("12 files brought online.");
  QImage summary = window->grab().toImage();
  EXPECT_TRUE(summary.save(QString::fromStdString(artifacts + "/progress-summary.png")));
  EXPECT_TRUE(near(summary.pixelColor(top), QColor(0, 255, 0))) << summary.pixelColor(top).name().toStdString();
  EXPECT_TRUE(near(summary.pixelColor(bottom), QColor(0, 255, 0)));
}

}  // namespace
