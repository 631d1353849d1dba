#include <gtest/gtest.h>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTextLayout>

#include <filesystem>
#include <stdexcept>

#include "config/installer_failure.h"
#include "tests/support/qt_application.h"
#include "tests/support/temporary_directory.h"
#include "tests/ui/screen_samples.h"
#include "ui/accent_button.h"
#include "ui/installer_artwork.h"
#include "ui/installer_progress.h"
#include "ui/installer_window.h"

namespace vexa {
namespace {

using testing::ScopedEnvironment;
using testing::TemporaryDirectory;

// A bundle in a temporary folder, with or without a logo resource.
class TemporaryBundle {
 public:
  explicit TemporaryBundle(std::optional<std::string> logo) {
    if (logo) testing::writeFile(directory_ / "Contents/Resources/logo.png", *logo);
  }
  static std::string realLogo() {
    return testing::readFile(std::filesystem::path(VEXA_SOURCE_DIR) / "resources/logo.png");
  }
  [[nodiscard]] platform::MainBundle bundle() const {
    return platform::MainBundle(directory_.path());
  }

 private:
  TemporaryDirectory directory_;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::ensureQtApplication(); }

  std::unique_ptr<InstallerWindow> makeWindow(
      InstallConfiguration configuration = testing::windowConfiguration()) {
    return std::make_unique<InstallerWindow>(
        std::move(configuration), InstallerWindow::Services{.bundle = bundle_.bundle(),
                                                            .reduceMotion = [] { return false; }});
  }

  TemporaryBundle bundle_{TemporaryBundle::realLogo()};
};

// What one control shows on a screen: its frame and text in each language; nullopt when hidden.
struct Shown {
  QRect frame;
  const char* chinese;
  const char* english;
};
using Expected = std::optional<Shown>;
enum class Bar { hidden, animated, atZero };

struct ScreenCase {
  const char* name;
  std::function<void(InstallerWindow&)> arrange;
  Expected heading, detail, primary, secondary, tertiary;
  Bar bar;
};

const QRect kHeading(100, 377, 600, 38);
const char* const kError = "Disk full";
const Shown kErrorDetail{{100, 415, 600, 45}, kError, kError};
const Shown kCancel{{300, 525, 200, 32}, "取消", "Cancel"};

std::exception_ptr failure() { return std::make_exception_ptr(InstallerFailure(kError)); }

void openingFailed(InstallerWindow& w) { w.showOpeningFailed(failure()); }

const std::vector<ScreenCase>& screenCases() {
  static const std::vector<ScreenCase> cases = {
      {"welcome",
       [](InstallerWindow& w) { w.welcome(); },
       Shown{kHeading, "安装 Vexa", "Install Vexa"},
       Shown{{75, 555, 650, 32}, "Vexa · 1.4.2", "Vexa · 1.4.2"},
       Shown{{240, 450, 320, 46}, "立即安装", "Install Now"},
       {},
       {},
       Bar::hidden},
      {"checking",
       [](InstallerWindow& w) { w.working("T", "M", std::nullopt); },
       Shown{kHeading, "T", "T"},
       Shown{{100, 472, 600, 48}, "M", "M"},
       {},
       {},
       {},
       Bar::animated},
      {"downloading",
       [](InstallerWindow& w) { w.working("T", w.downloadDetail(std::nullopt), 0.0); },
       Shown{kHeading, "T", "T"},
       Shown{{100, 472, 600, 48},
             "正在连接下载服务… · Vexa 1.4.2 · 123.5 MB",
             "Connecting to download service… · Vexa 1.4.2 · 123.5 MB"},
       {},
       {},
       {},
       Bar::atZero},
      {"failure",
       [](InstallerWindow& w) { w.showFailure(failure(), false); },
       Shown{kHeading, "安装未完成", "Installation incomplete"},
       kErrorDetail,
       Shown{{240, 470, 320, 46}, "重试", "Retry"},
       {},
       {},
       Bar::hidden},
      {"failure after a pause",
       [](InstallerWindow& w) { w.showFailure(failure(), true); },
       Shown{kHeading, "安装未完成", "Installation incomplete"},
       kErrorDetail,
       Shown{{240, 470, 320, 46}, "继续下载", "Continue Download"},
       {},
       {},
       Bar::hidden},
      {"newer application",
       [](InstallerWindow& w) { w.showNewerApplication(); },
       Shown{kHeading, "已安装更高版本", "A newer version is installed"},
       {},
       Shown{{240, 450, 320, 46}, "直接打开", "Open Vexa"},
       Shown{{300, 503, 200, 32}, "仍然安装", "Install Anyway"},
       Shown{{300, 541, 200, 32}, "取消", "Cancel"},
       Bar::hidden},
      {"application running",
       [](InstallerWindow& w) { w.showApplicationRunning(); },
       Shown{kHeading, "Vexa 正在运行", "Vexa is running"},
       Shown{{100, 415, 600, 45}, "关闭后继续安装。", "Quit Vexa to continue installation."},
       Shown{{240, 470, 320, 46}, "立即关闭", "Quit Now"},
       kCancel,
       {},
       Bar::hidden},
      {"quit wait",
       [](InstallerWindow& w) { w.showQuitWait(); },
       Shown{kHeading, "等待 Vexa 关闭", "Waiting for Vexa to quit"},
       Shown{
           {100, 415, 600, 45}, "关闭后自动继续安装。", "Installation continues when Vexa quits."},
       Shown{{240, 470, 320, 46}, "关闭 Vexa", "Quit Vexa"},
       kCancel,
       {},
       Bar::hidden},
      {"opening",
       [](InstallerWindow& w) { w.showOpening(); },
       Shown{kHeading, "正在打开 Vexa", "Opening Vexa"},
       Shown{{100, 419, 600, 46}, "Vexa 已准备就绪", "Vexa is ready"},
       {},
       {},
       {},
       Bar::hidden},
      {"opening failed",
       [](InstallerWindow& w) {
         w.showOpening();
         openingFailed(w);
       },
       Shown{kHeading, "正在打开 Vexa", "Opening Vexa"},
       Shown{{100, 415, 600, 32}, kError, kError},
       Shown{{240, 470, 320, 46}, "立即打开", "Open Vexa"},
       Shown{{300, 530, 200, 32}, "关闭", "Close"},
       {},
       Bar::hidden},
      // Opening the newer copy disables both buttons; a failure brings them back with their titles.
      {"opening the newer copy failed",
       [](InstallerWindow& w) {
         w.showNewerApplication();
         w.primary()->setEnabled(false);
         w.secondary()->setEnabled(false);
         openingFailed(w);
       },
       Shown{kHeading, "已安装更高版本", "A newer version is installed"},
       Shown{{100, 415, 600, 32}, kError, kError},
       Shown{{240, 450, 320, 46}, "直接打开", "Open Vexa"},
       Shown{{300, 503, 200, 32}, "仍然安装", "Install Anyway"},
       Shown{{300, 541, 200, 32}, "取消", "Cancel"}, Bar::hidden},
  };
  return cases;
}

void expectControl(const char* role, QWidget* widget, const QString& text, const Expected& expected,
                   bool chinese) {
  SCOPED_TRACE(role);
  EXPECT_EQ(!widget->isHidden(), expected.has_value());
  if (!expected) return;
  EXPECT_EQ(widget->geometry(), expected->frame);
  EXPECT_EQ(text, QString::fromUtf8(chinese ? expected->chinese : expected->english));
  EXPECT_TRUE(widget->isEnabled());
}

// Each screen sets everything it relies on, so it is checked after a run through busier screens.
TEST_F(WindowTest, EveryScreen_ShowsItsControlsTextsAndFrames) {
  for (const testing::ScreenLanguage& language : testing::screenLanguages()) {
    ScopedEnvironment environment{{"LANGUAGE", language.environment}};
    const bool chinese = language.name == "zh";
    for (const ScreenCase& screen : screenCases()) {
      SCOPED_TRACE(std::string(screen.name) + " in " + language.name);
      auto window = makeWindow();
      window->showQuitWait();
      window->working("previous", "screen", std::nullopt);
      window->showNewerApplication();
      screen.arrange(*window);

      expectControl("heading", window->heading(), window->heading()->text(), screen.heading,
                    chinese);
      expectControl("detail", window->detail(), window->detail()->text(), screen.detail, chinese);
      expectControl("primary", window->primary(), window->primary()->text(), screen.primary,
                    chinese);
      expectControl("secondary", window->secondary(), window->secondary()->text(), screen.secondary,
                    chinese);
      expectControl("tertiary", window->tertiary(), window->tertiary()->text(), screen.tertiary,
                    chinese);
      EXPECT_EQ(window->artwork()->geometry(), QRect(1, 156, 798, 228));
      EXPECT_FALSE(window->artwork()->isHidden() || window->artwork()->compact());
      const InstallerProgress& bar = *window->progress();
      EXPECT_EQ(bar.isHidden(), screen.bar == Bar::hidden);
      EXPECT_EQ(bar.animation() != nullptr, screen.bar == Bar::animated);
      if (screen.bar != Bar::hidden) {
        EXPECT_EQ(bar.geometry(), QRect(160, 444, 480, 10));
        EXPECT_EQ(bar.isIndeterminate(), screen.bar == Bar::animated);
        EXPECT_FALSE(window->secondary()->isEnabled());
      }
      if (screen.bar == Bar::atZero) {
        EXPECT_EQ(bar.doubleValue(), 0);
      }
    }
  }
}

TEST_F(WindowTest, DownloadDetail_NamesStatusVersionAndSize) {
  struct Case {
    std::optional<int> percent;
    std::int64_t size;
    const char* chinese;
    const char* english;
  };
  const Case cases[] = {
      {std::nullopt, 123456789, "正在连接下载服务… · Vexa 1.4.2 · 123.5 MB",
       "Connecting to download service… · Vexa 1.4.2 · 123.5 MB"},
      {42, 999, "已下载 42% · Vexa 1.4.2 · 999 bytes", "Downloaded 42% · Vexa 1.4.2 · 999 bytes"},
      {0, 1500, "已下载 0% · Vexa 1.4.2 · 2 KB", "Downloaded 0% · Vexa 1.4.2 · 2 KB"},
      {100, 4294967296, "已下载 100% · Vexa 1.4.2 · 4.29 GB",
       "Downloaded 100% · Vexa 1.4.2 · 4.29 GB"},
  };
  for (const Case& c : cases) {
    InstallConfiguration configuration = testing::windowConfiguration();
    configuration.sizeBytes = c.size;
    auto window = makeWindow(configuration);
    ScopedEnvironment chinese{{"LANGUAGE", "zh-CN"}};
    EXPECT_EQ(window->downloadDetail(c.percent), c.chinese);
    chinese.set("LANGUAGE", "en");
    EXPECT_EQ(window->downloadDetail(c.percent), c.english);
  }
}

TEST_F(WindowTest, DownloadProgress_ShowsTheWholePercentageReached) {
  ScopedEnvironment english{{"LANGUAGE", "en"}};
  auto window = makeWindow();
  window->working("Downloading", window->downloadDetail(std::nullopt), 0.0);
  struct Case {
    double fraction;
    const char* percent;
    double value;
  };
  // 0.29 * 100 is 28.999... in binary floating point; it still reached 29 %.
  const Case cases[] = {{0.999, "99%", 99.9}, {0.29, "29%", 29}, {1, "100%", 100}, {0, "0%", 0}};
  for (const Case& c : cases) {
    window->downloadProgress(c.fraction);
    EXPECT_EQ(window->detail()->text(),
              QString("Downloaded %1 · Vexa 1.4.2 · 123.5 MB").arg(c.percent));
    EXPECT_NEAR(window->progress()->doubleValue(), c.value, 1e-9);
  }
}

TEST_F(WindowTest, Decoration_IsBuiltOnceInOrderAndInTheUsersLanguage) {
  for (const testing::ScreenLanguage& language : testing::screenLanguages()) {
    ScopedEnvironment environment{{"LANGUAGE", language.environment}};
    const bool chinese = language.name == "zh";
    auto window = makeWindow();
    EXPECT_EQ(window->windowTitle(), "Vexa Installer");
    EXPECT_EQ(window->size(), QSize(800, 600));

    auto* tagline = window->findChild<QLabel*>("tagline");
    EXPECT_EQ(tagline->geometry(), QRect(150, 116, 500, 28));
    EXPECT_EQ(tagline->text(),
              chinese ? "你的 AI 助手，随时在线。" : "your AI assistant, always on.");
    auto* close = window->findChild<QPushButton*>("close");
    EXPECT_EQ(close->geometry(), QRect(750, 8, 40, 38));
    EXPECT_EQ(close->text(), QString(QChar(0x00D7)));
    EXPECT_EQ(close->accessibleName(), chinese ? "关闭" : "Close");
    EXPECT_EQ(window->progress()->accessibleName(), chinese ? "安装进度" : "Installation progress");
    EXPECT_EQ(window->progress()->maximum(), 100);
    auto* brand = window->findChild<QLabel*>("brand");
    const BrandLayout layout = brandLayout(QFontMetricsF(brand->font()).horizontalAdvance("Vexa"));
    EXPECT_EQ(brand->text(), "Vexa");
    EXPECT_EQ(brand->geometry(), layout.label.toRect());
    EXPECT_EQ(window->findChild<QLabel*>("logo")->geometry(), layout.logo.toRect());

    // Later views are drawn above earlier ones.
    QStringList order;
    for (QObject* child : window->heading()->parent()->children()) {
      if (child->isWidgetType()) order << child->objectName();
    }
    EXPECT_EQ(order, QStringList({"logo", "brand", "tagline", "close", "", "heading", "detail",
                                  "primary", "secondary", "tertiary", "progress"}));
  }
}

TEST(BrandLayoutTest, CentresTheGroupForAnyTextWidth) {
  struct Case {
    double textWidth;
    double x0;
    double labelWidth;
  };
  // w = ceil(text) + 4; x0 = (736 - w) / 2.
  const Case cases[] = {{90.2, 320.5, 95}, {150, 291, 154}};
  for (const Case& c : cases) {
    const BrandLayout layout = brandLayout(c.textWidth);
    EXPECT_EQ(layout.logo, QRectF(c.x0, 43, 56, 64));
    EXPECT_EQ(layout.label, QRectF(c.x0 + 64, 49, c.labelWidth, 60));
    EXPECT_DOUBLE_EQ(layout.logo.left() + layout.label.right(), 800);
  }
}

TEST(WindowLogoTest, ComesFromTheBundleAndIsEmptyWhenMissingOrUnreadable) {
  testing::ensureQtApplication();
  struct Case {
    const char* name;
    std::optional<std::string> logo;
    bool shown;
  };
  const Case cases[] = {{"real", TemporaryBundle::realLogo(), true},
                        {"missing", std::nullopt, false},
                        {"not an image", std::string("not a png"), false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TemporaryBundle bundle(c.logo);
    InstallerWindow window(testing::windowConfiguration(), {.bundle = bundle.bundle()});
    const QPixmap pixmap = window.findChild<QLabel*>("logo")->pixmap();
    EXPECT_EQ(!pixmap.isNull(), c.shown);
    // Scaled proportionally to fit 56 x 64: the square logo becomes 56 x 56.
    if (c.shown) {
      EXPECT_EQ(pixmap.deviceIndependentSize(), QSizeF(56, 56));
    }
  }
}

TEST_F(WindowTest, ReturnKey_PressesThePrimaryOnlyWhenShownAndEnabled) {
  struct Case {
    const char* name;
    std::function<void(InstallerWindow&)> arrange;
    int presses;
  };
  const Case cases[] = {
      {"welcome", [](InstallerWindow& w) { w.welcome(); }, 1},
      {"working", [](InstallerWindow& w) { w.working("t", "m", std::nullopt); }, 0},
      {"opening", [](InstallerWindow& w) { w.showOpening(); }, 0},
      {"newer, opening",
       [](InstallerWindow& w) {
         w.showNewerApplication();
         w.primary()->setEnabled(false);
       },
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto window = makeWindow();
    c.arrange(*window);
    int presses = 0;
    QObject::connect(window->primary(), &QPushButton::clicked, [&] { ++presses; });
    // Typed keys go to the focus widget: once shown, the window itself holds the keyboard focus.
    window->show();
    window->activateWindow();
    QApplication::processEvents();
    QWidget* focused = QApplication::focusWidget();
    EXPECT_EQ(focused, window.get());
    // Tab walks the shown buttons and then hands the focus back to the window itself.
    bool backOnWindow = false;
    for (int i = 0; i < 5 && !backOnWindow && QApplication::focusWidget() != nullptr; ++i) {
      QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
      QApplication::sendEvent(QApplication::focusWidget(), &tab);
      backOnWindow = QApplication::focusWidget() == window.get();
    }
    EXPECT_TRUE(backOnWindow);
    // Return works wherever the keyboard focus is, also on another button, and so does Enter.
    for (QWidget* target : {focused, static_cast<QWidget*>(window->secondary())}) {
      for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        if (target != nullptr) QApplication::sendEvent(target, &press);
      }
    }
    EXPECT_EQ(presses, c.presses * 4);
  }
}

TEST_F(WindowTest, QuitShortcutClosesAndDraggingTheBackgroundMoves) {
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

  QKeyEvent quit(QEvent::KeyPress, Qt::Key_Q, Qt::ControlModifier);
  QApplication::sendEvent(window.get(), &quit);
  EXPECT_FALSE(window->isVisible());
}

// The card is white with a light outline and rounded corners, and every text keeps its own ink
// even when the desktop's palette is dark.
TEST_F(WindowTest, Card_KeepsItsLightLookUnderADarkPalette) {
  const QPalette saved = QApplication::palette();
  QPalette dark(QColor(53, 53, 53), QColor(30, 30, 30));
  dark.setColor(QPalette::WindowText, Qt::white);
  dark.setColor(QPalette::ButtonText, Qt::white);
  dark.setColor(QPalette::Text, Qt::white);
  QApplication::setPalette(dark);
  auto window = makeWindow();
  window->showNewerApplication();
  const QImage image = testing::renderWidget(*window);
  QApplication::setPalette(saved);

  EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
  EXPECT_EQ(image.pixelColor(799, 599).alpha(), 0);
  EXPECT_EQ(image.pixelColor(400, 0), QColor(217, 225, 232));
  EXPECT_EQ(image.pixelColor(0, 300), QColor(217, 225, 232));
  EXPECT_EQ(image.pixelColor(400, 590), QColor(Qt::white));
  for (const char* name : {"brand", "tagline", "close", "heading", "secondary", "tertiary"}) {
    SCOPED_TRACE(name);
    const QRect area = window->findChild<QWidget*>(name)->geometry();
    int darkest = 255;
    for (int y = area.top(); y <= area.bottom(); ++y) {
      for (int x = area.left(); x <= area.right(); ++x)
        darkest = std::min(darkest, image.pixelColor(x, y).lightness());
    }
    EXPECT_LT(darkest, 180);
  }
}

// Without a CJK font Qt would draw the Chinese texts as empty boxes (glyph 0).
TEST_F(WindowTest, ChineseTexts_HaveGlyphsInTheWindowsFonts) {
  auto window = makeWindow();
  for (QWidget* control :
       {static_cast<QWidget*>(window->heading()), static_cast<QWidget*>(window->detail()),
        static_cast<QWidget*>(window->secondary())}) {
    QTextLayout layout(QStringLiteral("安装未完成，正在连接下载服务…"), control->font());
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    ASSERT_FALSE(runs.isEmpty());
    for (const QGlyphRun& run : runs) {
      for (quint32 glyph : run.glyphIndexes())
        EXPECT_NE(glyph, 0u) << run.rawFont().familyName().toStdString();
    }
  }
}

}  // namespace
}  // namespace vexa
