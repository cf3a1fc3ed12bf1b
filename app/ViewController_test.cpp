// The status window on the offscreen platform, loaded from a bundle with the application's
// interface resource: each problem row and the combinations that keep rows out, the fixes, the
// enable switch, and pictures of the window in build/<preset>/test-artifacts.
#include "ViewController.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QStyle>
#include <QStyleOptionButton>
#include <QMouseEvent>
#include <QPushButton>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "QtTestEnvironment.h"  // one application for the whole binary
#include "ServiceEnableHandler.h"
#include "ServiceLockFile.h"
#include "TempDir.h"
#include "TestProcess.h"
#include "bundle/PropertyList.h"
#include "defaults/UserDefaults.h"
#include "ui/Application.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using pellora::testing::TempDir;
using platform::defaults::Value;

const std::string kWarning = "\u26A0\uFE0F ";
const std::string kNotRunning = kWarning + "The service is not running.";
const std::string kBackground =
    kWarning + "Pellora is not allowed to run in the background, so it won't start after a restart.";
const std::string kNoAccess = kWarning +
                              "No access to network shares, so icons can't be shown.\n"
                              "After allowing access, reopen the folder in Finder.";
const std::string kNotSetUp = kWarning + "Finder control is not set up, so Disable Preview won't work.";
const std::string kDenied = kWarning + "Finder control is not allowed, so Disable Preview won't work.";
const std::string kExtensionOff = kWarning + "The Finder extension is off.";
const std::string kNoShare = "\u2139\uFE0F No Zavro share is connected.";

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The enable handler's parts that would start, stop or look for real service processes.
class FakeControl : public ServiceControl {
 public:
  std::atomic<bool> running{true};
  std::atomic<bool> lockHeld{false};
  std::atomic<bool> needsApproval{false};
  int handleCalls = 0;
  std::vector<std::function<void(bool)>> restarts;

  bool serviceApplicationRuns() override { return running; }
  bool isServiceLockHeld() override { return lockHeld; }
  void handleEnabled(bool forceStart, std::function<void()> completion) override {
    EXPECT_FALSE(forceStart);
    ++handleCalls;
    if (completion) completion();
  }
  void restartServiceFromApp(std::function<void(bool)> completion) override {
    restarts.push_back(std::move(completion));
  }
  bool backgroundNeedsApproval() override { return needsApproval; }
};

class StatusWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("HOME", home_.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home_ / ".local/share").c_str(), 1);
    ::setenv("PELLORA_MANAGED_DEFAULTS_DIR", (home_ / "managed").c_str(), 1);
    ::setenv("PELLORA_OPEN_URL_LOG", (home_ / "opened-urls").c_str(), 1);
    ServiceEnableHandler::Environment env;
    env.home = home_.path();
    ServiceEnableHandler::setEnvironment(env);

    bundle_ = home_ / "Zavro Pellora.app";
    fs::create_directories(bundle_ + "/Contents/Resources/en.lproj");
    std::ofstream(bundle_ + "/Contents/Info.plist") << platform::bundle::writePropertyList(
        {{"CFBundleIdentifier", "com.zavro.Pellora"}, {"CFBundleShortVersionString", "1.0.0"}});
    const std::string resources = std::string(PELLORA_SOURCE_DIR) + "/resources/app";
    fs::copy_file(resources + "/Main.ui", bundle_ + "/Contents/Resources/Main.ui");
    fs::copy_file(resources + "/en.lproj/Localizable.strings",
                  bundle_ + "/Contents/Resources/en.lproj/Localizable.strings");

    // The Finder extension, registered with the plug-in tool and switched on.
    const std::string appex = home_ / "PelloraFinder.appex";
    fs::create_directories(appex + "/Contents");
    std::ofstream(appex + "/Contents/Info.plist") << platform::bundle::writePropertyList(
        {{"CFBundleIdentifier", kFinderExtensionIdentifier}, {"CFBundleVersion", "1"}});
    ASSERT_EQ(pluginkit({"-a", appex}), 0);

    fs::create_directories(PELLORA_ARTIFACT_DIR);
    suite()->set(kNetworkAccessKey, Value("ok"));
    suite()->set(kFinderControlKey, Value("ok"));
  }
  void TearDown() override {
    controller_.reset();
    ServiceEnableHandler::setEnvironment({});
    ::unsetenv("PELLORA_OPEN_URL_LOG");
  }

  int pluginkit(std::vector<std::string> args) {
    args.insert(args.begin(), PELLORA_PLUGINKIT_PATH);
    return pellora::testing::runToEnd(args, {});
  }
  void setExtension(bool on) { ASSERT_EQ(pluginkit({"-e", on ? "use" : "ignore", "-i", kFinderExtensionIdentifier}), 0); }
  std::shared_ptr<platform::defaults::UserDefaults> suite() const {
    return platform::defaults::UserDefaults::suite(kSharedDefaultsSuite);
  }

  void open(ViewController::Timing timing = {}) {
    ViewController::Settings settings;
    settings.serviceControl = control_;
    settings.pluginTool = PELLORA_PLUGINKIT_PATH;
    settings.timing = timing;
    controller_ = ViewController::instantiate(platform::bundle::Bundle(bundle_), settings);
    ASSERT_TRUE(controller_);
    controller_->window()->show();
    // The extension's state comes from the plug-in tool in the background.
    ASSERT_TRUE(serve([&] { return controller_->model().extensionEnabled.has_value(); }));
  }
  bool serve(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    return platform::ui::runUntil(done, timeout);
  }
  // Everything the list depends on read again now, as when the application becomes active.
  bool refreshUntil(const std::vector<std::string>& expected) {
    controller_->appBecameActive();
    return serve([&] { return rowTexts() == expected; });
  }

  std::vector<QWidget*> rows() const {
    std::vector<QWidget*> out;
    QLayout* layout = controller_->statusStack->layout();
    for (int i = 0; i < layout->count(); ++i) out.push_back(layout->itemAt(i)->widget());
    return out;
  }
  std::vector<std::string> rowTexts() const {
    std::vector<std::string> out;
    for (QWidget* row : rows()) out.push_back(row->findChild<QLabel*>("problemText")->text().toStdString());
    return out;
  }
  QPushButton* rowButton(size_t index) const { return rows().at(index)->findChild<QPushButton*>("problemButton"); }

  // A press and a release where the button takes clicks (a check box: on its box), as a mouse
  // click brings them.
  static void click(QAbstractButton* button) {
    QPointF centre = QRectF(button->rect()).center();
    if (qobject_cast<QCheckBox*>(button)) {
      QStyleOptionButton option;
      option.initFrom(button);
      centre = QRectF(button->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, button)).center();
    }
    const QPointF global = button->mapToGlobal(centre);
    QMouseEvent press(QEvent::MouseButtonPress, centre, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(button, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, centre, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(button, &release);
  }

  QImage picture(const std::string& name) const {
    const QImage image = controller_->window()->grab().toImage();
    EXPECT_TRUE(image.save(QString::fromStdString(std::string(PELLORA_ARTIFACT_DIR) + "/status-" + name + ".png")));
    return image;
  }

  TempDir home_;
  std::string bundle_;
  std::shared_ptr<FakeControl> control_ = std::make_shared<FakeControl>();
  std::shared_ptr<ViewController> controller_;
};

TEST_F(StatusWindowTest, EachProblemShowsItsRowWithItsButton) {
  open();
  EXPECT_TRUE(rowTexts().empty());
  picture("no-problems");
  const int emptyHeight = controller_->window()->height();

  struct Case {
    std::string name;
    std::function<void()> arrange;
    std::string text, button;
    std::function<void()> undo;
  };
  const std::vector<Case> cases = {
      {"background", [&] { control_->needsApproval = true; }, kBackground, "Open Settings",
       [&] { control_->needsApproval = false; }},
      {"not-running", [&] { control_->running = false; }, kNotRunning, "Start", [&] { control_->running = true; }},
      {"network-access", [&] { suite()->set(kNetworkAccessKey, Value("blocked")); }, kNoAccess, "Fix",
       [&] { suite()->set(kNetworkAccessKey, Value("ok")); }},
      {"finder-not-set-up", [&] { suite()->set(kFinderControlKey, Value("notAsked")); }, kNotSetUp, "Fix",
       [&] { suite()->set(kFinderControlKey, Value("ok")); }},
      {"finder-denied", [&] { suite()->set(kFinderControlKey, Value("denied")); }, kDenied, "Fix",
       [&] { suite()->set(kFinderControlKey, Value("ok")); }},
      {"extension-off", [&] { setExtension(false); }, kExtensionOff, "Open Settings", [&] { setExtension(true); }},
      {"no-share",
       [&] {
         suite()->set(kNetworkSharesKey, Value(2));
         suite()->set(kMonitoredSharesKey, Value(0));
       },
       kNoShare, "Learn more", [&] { suite()->set(kNetworkSharesKey, Value(0)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    ASSERT_TRUE(refreshUntil({c.text})) << (rowTexts().empty() ? "no rows" : rowTexts()[0]);
    EXPECT_EQ(rowButton(0)->text().toStdString(), c.button);
    EXPECT_TRUE(rowButton(0)->isEnabled());
    EXPECT_GT(controller_->window()->height(), emptyHeight);
    const QImage image = picture(c.name);
    // The row is drawn: text of the palette's colour where the list is.
    const QRect area(rows()[0]->mapTo(controller_->window(), QPoint(0, 0)), rows()[0]->size());
    int dark = 0;
    for (int y = area.top(); y < area.bottom(); ++y) {
      for (int x = area.left(); x < area.left() + 200; ++x) dark += qGray(image.pixel(x, y)) < 100;
    }
    EXPECT_GT(dark, 50);
    c.undo();
    ASSERT_TRUE(refreshUntil({}));
  }
  EXPECT_EQ(controller_->window()->height(), emptyHeight);
}

TEST_F(StatusWindowTest, RowsThatKeepEachOtherOut) {
  control_->needsApproval = true;
  setExtension(false);
  suite()->set(kNetworkAccessKey, Value("blocked"));
  suite()->set(kFinderControlKey, Value("denied"));
  open();
  ASSERT_TRUE(refreshUntil({kBackground, kNoAccess, kDenied, kExtensionOff}));
  picture("all-warnings");

  // With the enable key off the list is empty, whatever else is wrong.
  suite()->set(kEnabledDefaultsKey, Value("0"));
  ASSERT_TRUE(refreshUntil({}));
  picture("disabled");
  suite()->set(kEnabledDefaultsKey, Value("1"));

  // While the service asks for Finder control, only what comes before the question shows.
  suite()->set(kFinderControlKey, Value("asking"));
  ASSERT_TRUE(refreshUntil({kBackground}));
  picture("asking");

  // A service that does not run: nothing of what it would report, nor the extension.
  suite()->set(kFinderControlKey, Value("ok"));
  control_->running = false;
  ASSERT_TRUE(refreshUntil({kBackground, kNotRunning}));
  // ...but the lock counts as running.
  control_->lockHeld = true;
  ASSERT_TRUE(refreshUntil({kBackground, kNoAccess, kExtensionOff}));

  // While the service restarts the extension its state is unknown.
  control_->needsApproval = false;
  ServiceLockFile::createHiddenFolder(home_.path());
  home_.write(".zavroPellora/extension.restarting");
  ASSERT_TRUE(refreshUntil({kNoAccess}));
  fs::remove(home_ / ".zavroPellora/extension.restarting");

  // Unknown network access: neither the access row nor the information row.
  suite()->set(kNetworkAccessKey, Value("unknown"));
  suite()->set(kNetworkSharesKey, Value(3));
  ASSERT_TRUE(refreshUntil({kExtensionOff}));
  // Readable shares, none of them a gateway share: the information row.
  suite()->set(kNetworkAccessKey, Value("ok"));
  ASSERT_TRUE(refreshUntil({kExtensionOff, kNoShare}));
  picture("no-share");
}

TEST_F(StatusWindowTest, ARefreshWithTheSameListLeavesTheRowsAndTheWindowAsTheyAre) {
  suite()->set(kFinderControlKey, Value("denied"));
  open();
  ASSERT_TRUE(refreshUntil({kDenied}));
  const std::vector<QWidget*> before = rows();
  const QRect geometry = controller_->window()->geometry();
  int rebuilds = 0;
  controller_->setRowsChangedHandler([&rebuilds] { ++rebuilds; });
  for (int i = 0; i < 3; ++i) controller_->refreshStatus();
  controller_->appBecameActive();
  serve([] { return false; }, 300ms);  // the extension's state comes back in this time
  EXPECT_EQ(rows(), before);
  EXPECT_EQ(controller_->window()->geometry(), geometry);
  EXPECT_EQ(rebuilds, 0);

  // Another list: new rows, a taller window, its top edge where it was.
  suite()->set(kNetworkAccessKey, Value("blocked"));
  const QPointer<QWidget> old(before[0]);
  ASSERT_TRUE(refreshUntil({kNoAccess, kDenied}));
  EXPECT_TRUE(serve([&] { return old.isNull(); }));  // rebuilt: the old row is gone
  EXPECT_EQ(rebuilds, 1);
  EXPECT_GT(controller_->window()->height(), geometry.height());
  EXPECT_EQ(controller_->window()->geometry().top(), geometry.top());
  EXPECT_EQ(controller_->window()->minimumHeight(), controller_->window()->maximumHeight());
}

TEST_F(StatusWindowTest, TwoClicksOnTheSwitchWithinASecondToggleItOnce) {
  open();
  ZVButton* enable = controller_->enableCheckBox;
  ASSERT_TRUE(enable->isChecked());  // the service runs
  click(enable);
  EXPECT_FALSE(enable->isChecked());
  EXPECT_EQ(suite()->object(kEnabledDefaultsKey), Value("0"));
  EXPECT_FALSE(controller_->autoStartCheckBox->isChecked());
  EXPECT_FALSE(controller_->disablePreviewCheckbox->isEnabled());
  // The handler is applied a moment later; once it is done the switch takes clicks again...
  ASSERT_TRUE(serve([&] { return control_->handleCalls == 1 && enable->isEnabled(); }));
  // ...but not within the second after a click.
  click(enable);
  EXPECT_FALSE(enable->isChecked());
  EXPECT_EQ(suite()->object(kEnabledDefaultsKey), Value("0"));
  ASSERT_TRUE(serve([&] { return !enable->disableMouseDown; }, 3s));
  click(enable);
  EXPECT_TRUE(enable->isChecked());
  EXPECT_EQ(suite()->object(kEnabledDefaultsKey), Value("1"));
  EXPECT_TRUE(controller_->disablePreviewCheckbox->isEnabled());
  ASSERT_TRUE(serve([&] { return control_->handleCalls == 2; }));
  serve([] { return false; }, 200ms);
  EXPECT_EQ(control_->handleCalls, 2);
}

TEST_F(StatusWindowTest, AFixRestartsTheServiceAndTheQuietPeriodHoldsTheListBack) {
  suite()->set(kFinderControlKey, Value("denied"));
  ViewController::Timing timing;
  timing.quietPeriod = 400ms;
  open(timing);
  ASSERT_TRUE(refreshUntil({kDenied}));

  click(rowButton(0));
  ASSERT_EQ(control_->restarts.size(), 1u);
  // Restarting: no rows, the switch off limits.
  EXPECT_TRUE(rowTexts().empty());
  EXPECT_FALSE(controller_->enableCheckBox->isEnabled());
  controller_->refreshStatus();
  EXPECT_TRUE(rowTexts().empty());
  control_->restarts[0](true);
  ASSERT_TRUE(serve([&] { return controller_->enableCheckBox->isEnabled(); }));
  // Settling: still nothing for a while, then the problem that is left, with the settings.
  EXPECT_TRUE(rowTexts().empty());
  ASSERT_TRUE(serve(
      [&] {
        controller_->refreshStatus();
        return rowTexts() == std::vector<std::string>{kDenied};
      },
      3s));
  EXPECT_EQ(rowButton(0)->text(), "Open Settings");
  click(rowButton(0));
  EXPECT_EQ(control_->restarts.size(), 1u);
  EXPECT_NE(controller_->guidanceText().indexOf("finder consent allow com.zavro.Pellora.Service"), -1)
      << controller_->guidanceText().toStdString();

  // A restart that fixed nothing (false) leaves the network fix a restart.
  suite()->set(kFinderControlKey, Value("ok"));
  suite()->set(kNetworkAccessKey, Value("blocked"));
  ASSERT_TRUE(refreshUntil({kNoAccess}));
  click(rowButton(0));
  ASSERT_EQ(control_->restarts.size(), 2u);
  control_->restarts[1](false);
  ASSERT_TRUE(serve(
      [&] {
        controller_->refreshStatus();
        return rowTexts() == std::vector<std::string>{kNoAccess};
      },
      3s));
  EXPECT_EQ(rowButton(0)->text(), "Fix");
  click(rowButton(0));
  EXPECT_EQ(control_->restarts.size(), 3u);
  // A second click while the restart runs starts nothing.
  controller_->fixService();
  EXPECT_EQ(control_->restarts.size(), 3u);
}

TEST_F(StatusWindowTest, FixesWithoutASettingsPageSayWhatToDoAndTheHelpLinkOpensItsPage) {
  control_->needsApproval = true;
  setExtension(false);
  suite()->set(kNetworkSharesKey, Value(1));
  open();
  ASSERT_TRUE(refreshUntil({kBackground, kExtensionOff, kNoShare}));

  click(rowButton(0));
  EXPECT_NE(controller_->guidanceText().indexOf(QString::fromStdString(home_ / ".config/autostart/com.zavro.Pellora.Service.desktop")), -1)
      << controller_->guidanceText().toStdString();
  click(rowButton(1));
  EXPECT_NE(controller_->guidanceText().indexOf("pluginkit -e use -i com.zavro.Pellora.Service.Finder"), -1);
  click(rowButton(2));
  controller_->openAutomationSettings();
  EXPECT_NE(controller_->guidanceText().indexOf("finder consent allow"), -1);
  QAbstractButton* help = nullptr;
  for (auto* b : controller_->window()->findChildren<QAbstractButton*>()) {
    if (b->property("action").toString() == "openLink:") help = b;
  }
  ASSERT_TRUE(help);
  // 16 below the list.
  EXPECT_EQ(help->geometry().top() - controller_->statusStack->geometry().bottom() - 1, 16);
  click(help);
  EXPECT_EQ(readFile(home_ / "opened-urls"), std::string(ViewController::kHelpPageURL) + "\n" +
                                                  ViewController::kHelpPageURL + "\n");
  EXPECT_TRUE(control_->restarts.empty());
}

TEST_F(StatusWindowTest, LoadingSetsTheVersionTheSwitchesAndThePreviewChoice) {
  control_->running = false;
  open();
  EXPECT_EQ(controller_->versionTxt->text(), "Version: 1.0.0");
  EXPECT_FALSE(controller_->enableCheckBox->isChecked());
  EXPECT_FALSE(controller_->autoStartCheckBox->isChecked());
  EXPECT_FALSE(controller_->disablePreviewCheckbox->isEnabled());
  EXPECT_TRUE(controller_->enableCheckBox->isEnabled());
  EXPECT_TRUE(controller_->makeSureTextFieldCell->isHidden());
  // A missing communication file is made, with the preview allowed.
  const std::string file = home_ / ".local/share/com.zavro.Pellora.shared/Communication/commnuication_file.json";
  EXPECT_EQ(readFile(file), R"({"previewEnabled":true})");
  EXPECT_FALSE(controller_->disablePreviewCheckbox->isChecked());
  controller_.reset();

  // The service runs, the user asked for no previews, and a profile sets the key.
  control_->running = true;
  std::ofstream(file, std::ios::trunc) << R"({"previewEnabled":false})";
  fs::create_directories(home_ / "managed");
  std::ofstream(home_ / "managed/" + kSharedDefaultsSuite + ".json") << R"({"PLEnabled":"1"})";
  open();
  EXPECT_TRUE(controller_->enableCheckBox->isChecked());
  EXPECT_TRUE(controller_->disablePreviewCheckbox->isChecked());
  EXPECT_TRUE(controller_->disablePreviewCheckbox->isEnabled());
  EXPECT_FALSE(controller_->enableCheckBox->isEnabled());
  EXPECT_EQ(controller_->enableCheckBox->toolTip(), "Managed by your administrator");
  click(controller_->disablePreviewCheckbox);
  EXPECT_EQ(readFile(file), R"({"previewEnabled":true})");
  click(controller_->disablePreviewCheckbox);
  EXPECT_EQ(readFile(file), R"({"previewEnabled":false})");
}

TEST_F(StatusWindowTest, AResourceWithoutTheWindowGivesNoController) {
  fs::remove(bundle_ + "/Contents/Resources/Main.ui");
  EXPECT_FALSE(ViewController::instantiate(platform::bundle::Bundle(bundle_)));
  home_.write("Zavro Pellora.app/Contents/Resources/Main.ui",
              R"(<ui version="4.0"><widget class="QWidget" name="Other"/></ui>)");
  EXPECT_FALSE(ViewController::instantiate(platform::bundle::Bundle(bundle_)));
}

}  // namespace
