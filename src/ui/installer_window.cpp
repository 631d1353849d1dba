#include "ui/installer_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <algorithm>
#include <cmath>

#include "config/installer_copy.h"
#include "platform/byte_count_formatter.h"
#include "ui/accent_button.h"
#include "ui/card_view.h"
#include "ui/flipped_view.h"
#include "ui/installer_accessibility.h"
#include "ui/installer_artwork.h"
#include "ui/installer_colours.h"
#include "ui/installer_progress.h"
#include "ui/logo_label.h"
#include "ui/plain_button.h"
#include "ui/screen_announcer.h"
#include "ui/window_frame.h"

namespace vexa {
namespace {

constexpr int kWidth = 800;
constexpr int kHeight = 600;
const QColor kInk(20, 30, 54);

QString copy(std::string_view chinese, std::string_view english) {
  return QString::fromStdString(InstallerCopy::text(chinese, english));
}

QFont systemFont(int points, QFont::Weight weight = QFont::Normal) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  // One point is one pixel at a device pixel ratio of 1, as on the desktop the layout was made for.
  font.setPixelSize(points);
  font.setWeight(weight);
  return font;
}

void setInk(QLabel* label, const QColor& colour) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
}

// A plain-text label: error messages must never be read as markup.
QLabel* makeLabel(QWidget* parent, const QFont& font, const QColor& colour,
                  Qt::Alignment alignment) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setFont(font);
  label->setAlignment(alignment);
  setInk(label, colour);
  return label;
}

PlainButton* makePlain(QWidget* parent, const QString& title, int points, const char* name) {
  auto* button = new PlainButton(title, parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setFont(systemFont(points));
  return button;
}

void setY(QWidget* widget, int y) { widget->move(widget->x(), y); }

std::string describe(const std::exception_ptr& error) {
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& exception) {
    return exception.what();
  } catch (...) {
    return InstallerCopy::text("发生未知错误。", "An unknown error occurred.");
  }
}

}  // namespace

BrandLayout brandLayout(double textWidth) {
  const double w = std::ceil(textWidth) + 4;
  const double x0 = (736 - w) / 2;
  return {QRectF(x0, 43, 56, 64), QRectF(x0 + 64, 49, w, 60)};
}

InstallerWindow::InstallerWindow(InstallConfiguration configuration, Services services)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint),
      configuration_(std::move(configuration)),
      frame_(std::make_unique<WindowFrame>()) {
  installInstallerAccessibility();
  setWindowTitle(QString::fromStdString(configuration_.productName + " Installer"));
  const std::string& product = configuration_.productName;
  setAccessibleName(copy(product + " 安装程序", product + " Installer"));
  setFixedSize(kWidth, kHeight);
  WindowFrame::shape(*this, services.composited && services.composited());
  // Light colours whatever the desktop's theme: every colour the window uses derives from here or
  // is set explicitly.
  setPalette(QPalette(QColor(236, 236, 236), QColor(255, 255, 255)));

  root_ = new CardView(this);
  root_->setObjectName(QStringLiteral("card"));
  markAsCard(*root_);
  root_->setGeometry(0, 0, kWidth, kHeight);
  buildDecoration(services.bundle);

  artwork_ = new InstallerArtwork(root_);
  heading_ = makeLabel(root_, systemFont(25, QFont::Bold), kInk, Qt::AlignHCenter | Qt::AlignTop);
  heading_->setObjectName(QStringLiteral("heading"));
  detail_ = makeLabel(root_, systemFont(13), QColor(), Qt::AlignHCenter | Qt::AlignTop);
  detail_->setObjectName(QStringLiteral("detail"));
  detail_->setWordWrap(true);

  primary_ = new AccentButton(copy("立即安装", "Install Now"), root_);
  primary_->setObjectName(QStringLiteral("primary"));
  primary_->setFocusPolicy(Qt::TabFocus);
  primary_->setAutoDefault(false);
  primary_->setDefault(true);
  secondary_ = makePlain(root_, copy("关闭", "Close"), 13, "secondary");
  tertiary_ = makePlain(root_, copy("取消", "Cancel"), 13, "tertiary");
  connect(tertiary_, &QPushButton::clicked, this, &InstallerWindow::closePressed);
  connect(primary_, &QPushButton::clicked, this, [this] {
    if (actions_.primary) actions_.primary();
  });
  connect(secondary_, &QPushButton::clicked, this, [this] {
    if (actions_.secondary) actions_.secondary();
  });

  progress_ = new InstallerProgress(root_);
  progress_->setObjectName(QStringLiteral("progress"));
  progress_->setRange(0, 100);
  progress_->setAccessibleName(copy("安装进度", "Installation progress"));

  // Reading order; the window itself takes no focus (keys the controls leave reach it anyway).
  setFocusPolicy(Qt::NoFocus);
  setTabOrder(primary_, secondary_);
  setTabOrder(secondary_, tertiary_);
  setTabOrder(tertiary_, close_);
  announcer_ = std::make_unique<ScreenAnnouncer>(*this, *root_, *heading_, *detail_, controls());
  for (QWidget* control : controls()) control->installEventFilter(this);
  installEventFilter(this);

  if (services.desktopSettings) {
    applyDesktopSettings(*services.desktopSettings);
  } else {
    desktopWatch_ = std::make_unique<platform::DesktopSettingsWatch>(
        [this](const platform::DesktopSettings& settings) { applyDesktopSettings(settings); });
    applyDesktopSettings(desktopWatch_->current());
  }

  welcome();
  centreOnScreen();
}

InstallerWindow::~InstallerWindow() = default;

void InstallerWindow::setActions(InstallerWindowActions actions) { actions_ = std::move(actions); }

std::array<QWidget*, 4> InstallerWindow::controls() const {
  return {primary_, secondary_, tertiary_, close_};
}

void InstallerWindow::centreOnScreen() {
  if (const QScreen* display = screen())
    move(WindowFrame::placement(size(), display->availableGeometry()));
}

void InstallerWindow::applyDesktopSettings(const platform::DesktopSettings& settings) {
  const InstallerColours colours = installerColours(settings.increaseContrast);
  setInk(detail_, colours.detail);
  setInk(tagline_, colours.tagline);
  for (PlainButton* button : {secondary_, tertiary_})
    button->setColours(colours.plainTitle, colours.focusRing);
  close_->setColours(colours.closeTitle, colours.focusRing);
  primary_->setAccent(colours.accentStart, colours.accentEnd);
  progress_->setColours(colours.progressTrack, colours.progressFill);
  progress_->setReduceMotion(settings.reduceMotion);
}

void InstallerWindow::closeRefused() {
  QApplication::beep();
  announcer_->alert(copy("安装程序正在工作，暂时无法关闭。请稍候。",
                         "The installer is working and can't close yet. Please wait."));
}

void InstallerWindow::screenChanged(bool alert) { announcer_->screenChanged(alert); }

void InstallerWindow::disableButtons() {
  primary_->setEnabled(false);
  secondary_->setEnabled(false);
  screenChanged();
}

void InstallerWindow::closeWindow() {
  closingByFlow_ = true;
  close();
}

void InstallerWindow::terminate() {
  // Queued, so that a request made before the loop runs (or from inside a close event) still ends
  // it.
  QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                            Qt::QueuedConnection);
}

void InstallerWindow::buildDecoration(const platform::MainBundle& bundle) {
  const QFont brandFont = systemFont(38, QFont::Bold);
  const QString brand = QStringLiteral("Vexa");
  const BrandLayout layout = brandLayout(QFontMetricsF(brandFont).horizontalAdvance(brand));

  QImage image;
  if (const auto path = bundle.resource("logo", "png")) {
    image = QImage(QString::fromStdString(path->string()));
  }
  auto* logo = new LogoLabel(root_, std::move(image));
  logo->setObjectName(QStringLiteral("logo"));
  logo->setGeometry(layout.logo.toRect());
  logo->setAlignment(Qt::AlignCenter);
  logo->setAccessibleName(brand);
  logo->fit(logo->devicePixelRatioF());

  QLabel* brandLabel = makeLabel(root_, brandFont, kInk, Qt::AlignLeft | Qt::AlignTop);
  brandLabel->setObjectName(QStringLiteral("brand"));
  brandLabel->setText(brand);
  brandLabel->setGeometry(layout.label.toRect());
  brandLabel->setAccessibleName(brand);

  tagline_ = makeLabel(root_, systemFont(15), QColor(), Qt::AlignHCenter | Qt::AlignTop);
  tagline_->setObjectName(QStringLiteral("tagline"));
  tagline_->setText(copy("你的 AI 助手，随时在线。", "your AI assistant, always on."));
  tagline_->setGeometry(150, 116, 500, 28);

  close_ = makePlain(root_, QString(QChar(0x00D7)), 26, "close");
  close_->setAccessibleName(copy("关闭", "Close"));
  close_->setGeometry(750, 8, 40, 38);
  connect(close_, &QPushButton::clicked, this, &InstallerWindow::closePressed);
}

void InstallerWindow::welcome() {
  artwork_->setCompact(false);
  artwork_->setGeometry(1, 156, 798, 228);
  const std::string& name = configuration_.productName;
  heading_->setGeometry(100, 377, 600, 38);
  heading_->setText(copy("安装 " + name, "Install " + name));
  primary_->setGeometry(240, 450, 320, 46);
  primary_->setText(copy("立即安装", "Install Now"));
  primary_->show();
  primary_->setEnabled(true);
  secondary_->setGeometry(300, 530, 200, 32);
  secondary_->hide();
  secondary_->setEnabled(true);
  tertiary_->setGeometry(300, 541, 200, 32);
  tertiary_->hide();
  detail_->show();
  detail_->setGeometry(75, 555, 650, 32);
  detail_->setText(QString::fromStdString(name + " \u00B7 " + configuration_.applicationVersion));
  progress_->stopAnimation();
  progress_->hide();
  screenChanged();
}

void InstallerWindow::working(const std::string& title, const std::string& message,
                              std::optional<double> fraction) {
  tertiary_->hide();
  detail_->show();
  artwork_->setCompact(false);
  artwork_->setGeometry(1, 156, 798, 228);
  heading_->setGeometry(100, 377, 600, 38);
  heading_->setText(QString::fromStdString(title));
  detail_->setGeometry(100, 472, 600, 48);
  detail_->setText(QString::fromStdString(message));
  primary_->hide();
  secondary_->setGeometry(300, 530, 200, 32);
  secondary_->hide();
  secondary_->setEnabled(false);
  progress_->setGeometry(160, 444, 480, 10);
  progress_->show();
  progress_->setIndeterminate(!fraction.has_value());
  if (!fraction) {
    progress_->startAnimation();
  } else {
    progress_->stopAnimation();
    // The bar runs from 0 to 100; the fraction given is shown, not assumed to be zero.
    const double value = std::isfinite(*fraction) ? std::clamp(*fraction, 0.0, 1.0) * 100 : 0.0;
    progress_->setDoubleValue(value);
  }
  screenChanged();
}

std::string InstallerWindow::downloadDetail(std::optional<int> percent) const {
  const std::string status =
      percent ? InstallerCopy::text("已下载 " + std::to_string(*percent) + "%",
                                    "Downloaded " + std::to_string(*percent) + "%")
              : InstallerCopy::text("正在连接下载服务…", "Connecting to download service…");
  return status + " \u00B7 " + configuration_.productName + " " +
         configuration_.applicationVersion + " \u00B7 " +
         platform::formatByteCount(configuration_.sizeBytes);
}

void InstallerWindow::downloadProgress(double fraction) {
  const double clamped = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0;
  progress_->setDoubleValue(clamped * 100);
  // The whole percentage reached. The tiny allowance keeps a fraction such as 0.29, which is
  // 28.999... after the multiplication, from showing one percent less than it is.
  const int percent = static_cast<int>(std::floor(clamped * 100 + 1e-9));
  detail_->setText(QString::fromStdString(downloadDetail(percent)));
}

void InstallerWindow::showOpening() {
  welcome();
  detail_->setGeometry(100, 419, 600, 46);
  detail_->setText(copy("Vexa 已准备就绪", "Vexa is ready"));
  setY(primary_, 470);
  primary_->setText(copy("立即打开", "Open Vexa"));
  setY(secondary_, 530);
  secondary_->setText(copy("关闭", "Close"));
  heading_->setText(copy("正在打开 Vexa", "Opening Vexa"));
  primary_->hide();
  secondary_->hide();
  screenChanged();
}

void InstallerWindow::showOpeningFailed(const std::exception_ptr& error) {
  detail_->setText(QString::fromStdString(describe(error)));
  detail_->show();
  detail_->setGeometry(100, 415, 600, 32);
  primary_->setEnabled(true);
  primary_->show();
  secondary_->setEnabled(true);
  secondary_->show();
  screenChanged(true);
}

void InstallerWindow::showFailure(const std::exception_ptr& error, bool paused) {
  welcome();
  heading_->setText(copy("安装未完成", "Installation incomplete"));
  detail_->setGeometry(100, 415, 600, 45);
  detail_->setText(QString::fromStdString(describe(error)));
  setY(primary_, 470);
  primary_->setText(paused ? copy("继续下载", "Continue Download") : copy("重试", "Retry"));
  screenChanged(true);
}

void InstallerWindow::showNewerApplication() {
  welcome();
  heading_->setText(copy("已安装更高版本", "A newer version is installed"));
  detail_->hide();
  primary_->setText(copy("直接打开", "Open Vexa"));
  setY(secondary_, 503);
  secondary_->setText(copy("仍然安装", "Install Anyway"));
  secondary_->show();
  tertiary_->show();
  screenChanged();
}

void InstallerWindow::showApplicationRunning() {
  welcome();
  heading_->setText(copy("Vexa 正在运行", "Vexa is running"));
  detail_->setGeometry(100, 415, 600, 45);
  detail_->setText(copy("关闭后继续安装。", "Quit Vexa to continue installation."));
  setY(primary_, 470);
  primary_->setText(copy("立即关闭", "Quit Now"));
  setY(secondary_, 525);
  secondary_->setText(copy("取消", "Cancel"));
  secondary_->show();
  secondary_->setEnabled(true);
  screenChanged();
}

void InstallerWindow::showQuitWait() {
  showApplicationRunning();
  heading_->setText(copy("等待 Vexa 关闭", "Waiting for Vexa to quit"));
  detail_->setText(copy("关闭后自动继续安装。", "Installation continues when Vexa quits."));
  primary_->setText(copy("关闭 Vexa", "Quit Vexa"));
  screenChanged();
}

void InstallerWindow::closePressed() {
  if (actions_.close) {
    actions_.close();
  } else {
    closeWindow();
  }
}

void InstallerWindow::closeEvent(QCloseEvent* event) {
  // Every way of closing other than the flow's own asks the flow first: a running download is
  // paused and the window stays; checking and installing refuse.
  if (!closingByFlow_ && actions_.shouldClose && !actions_.shouldClose()) {
    event->ignore();
    return;
  }
  closingByFlow_ = false;
  event->accept();
  if (actions_.willClose) actions_.willClose();
}

bool InstallerWindow::eventFilter(QObject* watched, QEvent* event) {
  // Children pass events through here while the window is being destroyed, its members gone.
  if (announcer_) announcer_->noteInput(*event);
  return QWidget::eventFilter(watched, event);
}

void InstallerWindow::keyPressEvent(QKeyEvent* event) {
  // The quit shortcut (Ctrl+Q, or the desktop's own) asks to close the window, the installer's
  // only way out, so quitting follows the same rules as closing.
  if (event->keyCombination() == QKeyCombination(Qt::ControlModifier, Qt::Key_Q) ||
      event->matches(QKeySequence::Quit)) {
    event->accept();
    close();
    return;
  }
  // Escape dismisses (the screen's Cancel, or closing where only Close is offered: both are the
  // close request), and the close shortcut is the close command.
  if (event->key() == Qt::Key_Escape || event->matches(QKeySequence::Close)) {
    event->accept();
    closePressed();
    return;
  }
  const bool isReturn = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (isReturn && primary_->isVisibleTo(this) && primary_->isEnabled()) {
    primary_->click();
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

void InstallerWindow::mousePressEvent(QMouseEvent* event) {
  if (!frame_->press(*this, *event)) QWidget::mousePressEvent(event);
}

void InstallerWindow::mouseMoveEvent(QMouseEvent* event) {
  if (!frame_->move(*this, *event)) QWidget::mouseMoveEvent(event);
}

void InstallerWindow::mouseReleaseEvent(QMouseEvent* event) {
  frame_->release();
  QWidget::mouseReleaseEvent(event);
}

}  // namespace vexa
