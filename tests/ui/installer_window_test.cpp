#include <gtest/gtest.h>
#include <QApplication>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

#include <filesystem>

#include "config/installer_failure.h"
#include "tests/support/configuration_samples.h"
#include "tests/support/qt_application.h"
#include "tests/support/temporary_directory.h"
#include "tests/ui/screen_samples.h"
#include "ui/accent_button.h"
#include "ui/installer_artwork.h"
#include "ui/installer_progress.h"
#include "ui/installer_window.h"
#include "ui/plain_button.h"

namespace vexa {
namespace {

// The English window of Vexa 1.4.2, a 123 456 789-byte package, in a bundle with the real logo.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ensureQtApplication();
    testing::writeFile(
        logo_, testing::readFile(std::filesystem::path(VEXA_SOURCE_DIR) / "resources/logo.png"));
  }

  std::unique_ptr<InstallerWindow> makeWindow() {
    InstallConfiguration configuration = testing::validProductionConfiguration();
    configuration.applicationVersion = "1.4.2", configuration.sizeBytes = 123456789;
    return std::make_unique<InstallerWindow>(
        configuration, InstallerWindow::Services{.bundle = platform::MainBundle(bundle_.path()),
                                                 .desktopSettings = platform::DesktopSettings{},
                                                 .composited = [] { return true; }});
  }

  testing::ScopedEnvironment language_{{"LANGUAGE", "en"}};
  testing::TemporaryDirectory bundle_;
  const std::filesystem::path logo_ = bundle_ / "Contents/Resources/logo.png";
};

// What one control shows on a screen in English: its frame and text; hidden when the text is null.
struct Shown {
  QRect frame;
  const char* text = nullptr;
};
Shown at(int x, int y, int w, int h, const char* text) { return {QRect(x, y, w, h), text}; }
Shown primary(int y, const char* text) { return at(240, y, 320, 46, text); }
Shown plain(int y, const char* text) { return at(300, y, 200, 32, text); }
const Shown kHidden;
enum class Bar { hidden, animated, atZero };

struct ScreenCase {
  const char* name;
  std::function<void(InstallerWindow&)> arrange;
  const char* heading;
  Shown detail, primary, secondary, tertiary;
  Bar bar;
};

const char* const kError = "Disk full";
std::exception_ptr failure() { return std::make_exception_ptr(InstallerFailure(kError)); }
const char* const kNewer = "A newer version is installed";
const Shown kErrorDetail = at(100, 415, 600, 45, kError);
const Shown kOpenError = at(100, 415, 600, 32, kError);

const ScreenCase kScreens[] = {
    {"welcome", [](InstallerWindow& w) { w.welcome(); }, "Install Vexa",
     at(75, 555, 650, 32, "Vexa · 1.4.2"), primary(450, "Install Now"), kHidden, kHidden,
     Bar::hidden},
    {"checking", [](InstallerWindow& w) { w.working("Checking…", "", std::nullopt); }, "Checking…",
     at(100, 472, 600, 48, ""), kHidden, kHidden, kHidden, Bar::animated},
    {"downloading",
     [](InstallerWindow& w) { w.working("Downloading", w.downloadDetail(std::nullopt), 0.0); },
     "Downloading",
     at(100, 472, 600, 48, "Connecting to download service… · Vexa 1.4.2 · 123.5 MB"), kHidden,
     kHidden, kHidden, Bar::atZero},
    {"failure", [](InstallerWindow& w) { w.showFailure(failure(), false); },
     "Installation incomplete", kErrorDetail, primary(470, "Retry"), kHidden, kHidden, Bar::hidden},
    {"failure-paused", [](InstallerWindow& w) { w.showFailure(failure(), true); },
     "Installation incomplete", kErrorDetail, primary(470, "Continue Download"), kHidden, kHidden,
     Bar::hidden},
    {"newer-application", [](InstallerWindow& w) { w.showNewerApplication(); }, kNewer, kHidden,
     primary(450, "Open Vexa"), plain(503, "Install Anyway"), plain(541, "Cancel"), Bar::hidden},
    {"application-running", [](InstallerWindow& w) { w.showApplicationRunning(); },
     "Vexa is running", at(100, 415, 600, 45, "Quit Vexa to continue installation."),
     primary(470, "Quit Now"), plain(525, "Cancel"), kHidden, Bar::hidden},
    {"quit-wait", [](InstallerWindow& w) { w.showQuitWait(); }, "Waiting for Vexa to quit",
     at(100, 415, 600, 45, "Installation continues when Vexa quits."), primary(470, "Quit Vexa"),
     plain(525, "Cancel"), kHidden, Bar::hidden},
    {"opening", [](InstallerWindow& w) { w.showOpening(); }, "Opening Vexa",
     at(100, 419, 600, 46, "Vexa is ready"), kHidden, kHidden, kHidden, Bar::hidden},
    {"opening-failed", [](InstallerWindow& w) { w.showOpening(), w.showOpeningFailed(failure()); },
     "Opening Vexa", kOpenError, primary(470, "Open Vexa"), plain(530, "Close"), kHidden,
     Bar::hidden},
    // Opening the newer copy disables both buttons; a failure brings them back with their titles.
    {"opening-newer-failed",
     [](InstallerWindow& w) {
       w.showNewerApplication(), w.disableButtons(), w.showOpeningFailed(failure());
     },
     kNewer, kOpenError, primary(450, "Open Vexa"), plain(503, "Install Anyway"),
     plain(541, "Cancel"), Bar::hidden},
};

void expectControl(const char* role, QWidget* widget, const QString& text, const Shown& expected) {
  SCOPED_TRACE(role);
  EXPECT_EQ(!widget->isHidden(), expected.text != nullptr);
  if (expected.text == nullptr) return;
  EXPECT_EQ(widget->geometry(), expected.frame);
  EXPECT_EQ(text, QString::fromUtf8(expected.text));
  EXPECT_TRUE(widget->isEnabled());
}

// Each screen sets everything it relies on, so it is checked after a run through busier screens.
// Every screen in each language is also written to <build>/screens/<screen>-<language>.png for
// people to look at.
TEST_F(WindowTest, EveryScreen_ShowsItsControlsTextsAndFrames) {
  std::filesystem::create_directories(VEXA_SCREENS_DIR);
  for (const std::string language : {"zh", "en"}) {
    testing::ScopedEnvironment environment{{"LANGUAGE", language}};
    for (const ScreenCase& screen : kScreens) {
      SCOPED_TRACE(screen.name);
      auto window = makeWindow();
      window->show();
      window->showQuitWait();
      window->working("previous", "screen", std::nullopt);
      window->downloadProgress(0.5);
      window->showNewerApplication();
      screen.arrange(*window);
      const std::string file =
          std::string(VEXA_SCREENS_DIR "/") + screen.name + "-" + language + ".png";
      EXPECT_TRUE(testing::renderWidget(*window).save(QString::fromStdString(file)));
      if (language != "en") continue;
      expectControl("heading", window->heading(), window->heading()->text(),
                    at(100, 377, 600, 38, screen.heading));
      expectControl("detail", window->detail(), window->detail()->text(), screen.detail);
      for (auto [role, button, expected] :
           {std::tuple{"primary", (QPushButton*)window->primary(), screen.primary},
            {"secondary", window->secondary(), screen.secondary},
            {"tertiary", window->tertiary(), screen.tertiary}})
        expectControl(role, button, button->text(), expected);
      EXPECT_EQ(window->artwork()->geometry(), QRect(1, 156, 798, 228));
      EXPECT_FALSE(window->artwork()->isHidden() || window->artwork()->compact());
      const InstallerProgress& bar = *window->progress();
      EXPECT_EQ(bar.isHidden(), screen.bar == Bar::hidden);
      EXPECT_EQ(bar.animation() != nullptr, screen.bar == Bar::animated);
      if (screen.bar == Bar::hidden) continue;
      EXPECT_EQ(bar.geometry(), QRect(160, 444, 480, 10));
      EXPECT_EQ(bar.isIndeterminate(), screen.bar == Bar::animated);
      if (screen.bar == Bar::atZero) {
        EXPECT_EQ(bar.doubleValue(), 0);
      }
      EXPECT_FALSE(window->secondary()->isEnabled());
    }
  }
}

// The whole percentage reached: 0.29 * 100 is 28.999... in binary floating point. A long message
// wraps onto lines inside the detail's frame.
TEST_F(WindowTest, Detail_ShowsTheWholePercentageReachedAndWrapsALongMessage) {
  auto window = makeWindow();
  window->working("Downloading", "", 0.0);
  for (const auto& [fraction, percent, value] :
       {std::tuple{0.999, "99%", 99.9}, {0.29, "29%", 29.0}, {1.5, "100%", 100.0}}) {
    window->downloadProgress(fraction);
    EXPECT_EQ(window->detail()->text(),
              QString("Downloaded %1 · Vexa 1.4.2 · 123.5 MB").arg(percent));
    EXPECT_NEAR(window->progress()->doubleValue(), value, 1e-9);
  }
  const std::string words = QString("word ").repeated(40).toStdString();
  window->showFailure(std::make_exception_ptr(InstallerFailure(words)), false);
  EXPECT_GT(window->detail()->heightForWidth(600), 2 * window->detail()->fontMetrics().height());
}

// The decoration is built once, in order (later views are drawn above earlier ones); the brand
// and the logo from the bundle, scaled to fit 56 x 64 and empty when missing, are centred together.
TEST_F(WindowTest, Decoration_IsBuiltOnceInOrder) {
  auto window = makeWindow();
  EXPECT_EQ(window->findChild<QPushButton*>("close")->accessibleName(), "Close");
  EXPECT_EQ(window->progress()->accessibleName(), "Installation progress");
  auto* brand = window->findChild<QLabel*>("brand");
  const BrandLayout layout = brandLayout(QFontMetricsF(brand->font()).horizontalAdvance("Vexa"));
  EXPECT_EQ(brand->geometry(), layout.label.toRect());
  EXPECT_EQ(window->findChild<QLabel*>("logo")->geometry(), layout.logo.toRect());
  EXPECT_EQ(window->findChild<QLabel*>("logo")->pixmap().deviceIndependentSize(), QSizeF(56, 56));
  QStringList order;
  for (QObject* child : window->heading()->parent()->children())
    if (child->isWidgetType()) order << child->objectName();
  EXPECT_EQ(order, QStringList({"logo", "brand", "tagline", "close", "", "heading", "detail",
                                "primary", "secondary", "tertiary", "progress"}));
  EXPECT_EQ(brandLayout(90.2).label, QRectF(384.5, 49, 95, 60));  // at 4 + whole pixels, centred
  std::filesystem::remove(logo_);
  EXPECT_TRUE(makeWindow()->findChild<QLabel*>("logo")->pixmap().isNull());
}

// Return and Enter press the primary button wherever the keyboard focus is, only while it is
// enabled; Escape and Ctrl+W make the close request, never "Install Anyway". The screen's first
// enabled control takes the focus with the screen's texts as its description.
TEST_F(WindowTest, Keys_PressThePrimaryOrCloseAndScreensAnnounceThemselves) {
  for (const bool disabled : {false, true}) {
    auto window = makeWindow();
    std::string pressed;
    window->setActions({.primary = [&] { pressed += "primary "; },
                        .secondary = [&] { pressed += "secondary "; },
                        .close = [&] { pressed += "close "; }});
    window->show();
    window->activateWindow();
    window->showNewerApplication();
    if (disabled) window->disableButtons();
    QApplication::processEvents();
    QWidget* focused = disabled ? (QWidget*)window->tertiary() : window->primary();
    EXPECT_EQ(QApplication::focusWidget(), focused);
    EXPECT_EQ(focused->accessibleDescription(), "A newer version is installed");
    for (auto [target, key, modifiers] :
         {std::tuple<QWidget*, int, Qt::KeyboardModifiers>{focused, Qt::Key_Return, {}},
          {window->secondary(), Qt::Key_Enter, {}},
          {window->secondary(), Qt::Key_Escape, {}},
          {focused, Qt::Key_W, Qt::ControlModifier}}) {
      QKeyEvent press(QEvent::KeyPress, key, modifiers);
      QApplication::sendEvent(target, &press);
    }
    EXPECT_EQ(pressed, disabled ? "close close " : "primary primary close close ");
    window->showFailure(failure(), false);
    QApplication::processEvents();
    EXPECT_EQ(window->primary()->accessibleDescription(), "Installation incomplete\nDisk full");
    window->working("Checking…", "", std::nullopt);  // the bar animates only while it is seen
    EXPECT_NE(window->progress()->animation(), nullptr);
    window->hide();
    EXPECT_EQ(window->progress()->animation(), nullptr);
  }
}

TEST_F(WindowTest, QuitShortcutAsksTheFlowAndDraggingTheBackgroundMoves) {
  auto window = makeWindow();
  window->move(100, 100);
  window->show();
  const auto send = [&](QEvent::Type type, QPoint local, Qt::MouseButtons buttons) {
    QMouseEvent event(type, QPointF(local), QPointF(local), QPointF(window->mapToGlobal(local)),
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(window->heading()->parentWidget(), &event);
  };
  const QPoint origin = window->pos();
  send(QEvent::MouseButtonPress, {400, 20}, Qt::LeftButton);
  send(QEvent::MouseMove, {430, 60}, Qt::LeftButton);
  EXPECT_EQ(window->pos(), origin + QPoint(30, 40));
  send(QEvent::MouseButtonRelease, {430, 60}, Qt::NoButton);
  send(QEvent::MouseMove, {490, 110}, Qt::NoButton);
  EXPECT_EQ(window->pos(), origin + QPoint(30, 40));
  // The quit shortcut asks the flow, which refuses here; the flow's own close is not asked.
  int asked = 0;
  InstallerWindowActions actions;
  actions.shouldClose = [&] { return ++asked, false; };
  window->setActions(actions);
  QKeyEvent quit(QEvent::KeyPress, Qt::Key_Q, Qt::ControlModifier);
  QApplication::sendEvent(window.get(), &quit);
  EXPECT_TRUE(asked == 1 && window->isVisible());
  window->closeWindow();
  EXPECT_FALSE(window->isVisible());
}

// The card stays white with rounded corners, and every text keeps its own ink, even when the
// desktop's palette is dark.
TEST_F(WindowTest, Card_KeepsItsLightLookUnderADarkPalette) {
  const QPalette saved = QApplication::palette();
  QPalette dark(QColor(53, 53, 53), QColor(30, 30, 30));
  for (auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
    dark.setColor(role, Qt::white);
  QApplication::setPalette(dark);
  auto window = makeWindow();
  window->showNewerApplication();
  const QImage image = testing::renderWidget(*window);
  QApplication::setPalette(saved);
  EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);                // a rounded corner
  EXPECT_EQ(image.pixelColor(400, 0), QColor(217, 225, 232));  // the outline
  EXPECT_EQ(image.pixelColor(400, 590), QColor(Qt::white));
  for (const char* name : {"brand", "tagline", "close", "heading", "secondary", "tertiary"}) {
    const QRect area = window->findChild<QWidget*>(name)->geometry();
    int darkest = 255;
    for (int y = area.top(); y <= area.bottom(); ++y)
      for (int x = area.left(); x <= area.right(); ++x)
        darkest = std::min(darkest, image.pixelColor(x, y).lightness());
    EXPECT_LT(darkest, 180) << name;
  }
  // The primary's white title is set in 15-pixel semibold and centred on the pill.
  QFont title = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  title.setPixelSize(15), title.setWeight(QFont::DemiBold);
  const QRect pill = window->primary()->geometry().adjusted(12, 4, -12, -4);
  int left = pill.right(), right = pill.left();
  for (int y = pill.top(); y <= pill.bottom(); ++y)
    for (int x = pill.left(); x <= pill.right(); ++x)
      if (image.pixelColor(x, y).red() > 160) left = std::min(left, x), right = std::max(right, x);
  EXPECT_NEAR(right - left + 1, QFontMetrics(title).boundingRect("Open Vexa").width(), 2);
  EXPECT_NEAR(left + right, 2 * pill.center().x(), 3);
}

}  // namespace
}  // namespace vexa
