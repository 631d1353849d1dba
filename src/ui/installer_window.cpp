#include "ui/installer_window.h"

#include <QAccessible>
#include <QApplication>
#include <QBitmap>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <algorithm>
#include <cmath>

#include "config/installer_copy.h"
#include "platform/byte_count_formatter.h"
#include "ui/accent_button.h"
#include "ui/flipped_view.h"
#include "ui/installer_accessibility.h"
#include "ui/installer_artwork.h"
#include "ui/installer_colours.h"
#include "ui/installer_progress.h"
#include "ui/plain_button.h"

namespace vexa {
namespace {

constexpr int kWidth = 800;
constexpr int kHeight = 600;
const QColor kInk(20, 30, 54);
const QColor kCardBorder(217, 225, 232);

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

// A plain-text label: error messages must never be read as markup.
QLabel* makeLabel(QWidget* parent, const QFont& font, const QColor& colour,
                  Qt::Alignment alignment) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setFont(font);
  label->setAlignment(alignment);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
  return label;
}

void setInk(QLabel* label, const QColor& colour) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
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

// The window's content: a white card with 12-point rounded corners and a 1-point light outline,
// on the window's transparent background.
class CardView final : public FlippedView {
 public:
  using FlippedView::FlippedView;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath card;
    card.addRoundedRect(QRectF(rect()), 12, 12);
    painter.fillPath(card, Qt::white);
    // The outline lies inside the card, centred half a point in from its edge.
    painter.setPen(QPen(kCardBorder, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 11.5, 11.5);
  }
};

// The logo image, fitted to the label at the pixel ratio of the screen it is painted on: moving
// to a screen with another ratio re-renders it from the image kept in memory.
class LogoLabel final : public QLabel {
 public:
  LogoLabel(QWidget* parent, QImage image) : QLabel(parent), image_(std::move(image)) {}

  void fit(qreal ratio) {
    if (image_.isNull() || (!pixmap().isNull() && pixmap().devicePixelRatio() == ratio)) return;
    QImage fitted = image_.scaled(size() * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    fitted.setDevicePixelRatio(ratio);
    setPixmap(QPixmap::fromImage(fitted));
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    fit(devicePixelRatioF());
    QLabel::paintEvent(event);
  }

 private:
  const QImage image_;
};

// Where a window of `size` goes on a screen whose free area is `available`: centred, moved inside
// the area as far as it fits, and with its top-left corner on the area when it cannot fit.
QPoint placement(QSize size, QRect available) {
  const auto axis = [](int start, int length, int space) {
    return start + std::max(0, (space - length) / 2);
  };
  return {axis(available.left(), size.width(), available.width()),
          axis(available.top(), size.height(), available.height())};
}

}  // namespace

BrandLayout brandLayout(double textWidth) {
  const double w = std::ceil(textWidth) + 4;
  const double x0 = (736 - w) / 2;
  return {QRectF(x0, 43, 56, 64), QRectF(x0 + 64, 49, w, 60)};
}

InstallerWindow::InstallerWindow(InstallConfiguration configuration, Services services)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint),
      configuration_(std::move(configuration)) {
  installInstallerAccessibility();
  setWindowTitle(QString::fromStdString(configuration_.productName + " Installer"));
  const std::string& product = configuration_.productName;
  setAccessibleName(copy(product + " 安装程序", product + " Installer"));
  setFixedSize(kWidth, kHeight);
  if (services.composited && services.composited()) {
    setAttribute(Qt::WA_TranslucentBackground);
  } else {
    // Without a compositor transparent pixels show as black: cut the corners off instead.
    QBitmap shape(size());
    shape.fill(Qt::color0);
    QPainter painter(&shape);
    painter.setBrush(Qt::color1);
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(rect(), 12, 12);
    painter.end();
    setMask(shape);
  }
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
  if (const QScreen* display = screen()) move(placement(size(), display->availableGeometry()));
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
  QWidget* told = QApplication::focusWidget();
  if (told == nullptr || told->window() != this) told = close_;
  told->setAccessibleDescription(
      copy("安装程序正在工作，暂时无法关闭。请稍候。",
           "The installer is working and can't close yet. Please wait."));
  QAccessibleEvent alert(this, QAccessible::Alert);
  QAccessible::updateAccessibility(&alert);
}

void InstallerWindow::screenChanged(bool alert) {
  alertDue_ = alertDue_ || alert;
  if (announcementDue_) return;
  announcementDue_ = true;
  // After the operation that changed the screen (and those it builds on) has finished.
  QMetaObject::invokeMethod(this, &InstallerWindow::announceScreen, Qt::QueuedConnection);
}

void InstallerWindow::announceScreen() {
  announcementDue_ = false;
  // The first control in reading order; the corner close button is always there.
  QWidget* target = close_;
  for (QWidget* control : controls()) {
    if (!control->isHidden() && control->isEnabled()) {
      target = control;
      break;
    }
  }
  QString description = heading_->text();
  if (!detail_->isHidden() && !detail_->text().isEmpty()) description += '\n' + detail_->text();
  for (QWidget* control : controls()) {
    if (control != target && !control->accessibleDescription().isEmpty())
      control->setAccessibleDescription({});
  }
  // Views came and went: the card's list of children is read again.
  QAccessibleEvent reorder(root_, QAccessible::ObjectReorder);
  QAccessible::updateAccessibility(&reorder);
  // A focus change makes a screen reader read the control with its description; a control that
  // already has the focus reads out its new description.
  target->setAccessibleDescription(description);
  if (!target->hasFocus()) target->setFocus(Qt::OtherFocusReason);
  if (std::exchange(alertDue_, false)) {
    QAccessibleEvent alert(this, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
  }
}

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
  // Focus indicators show once the keyboard is used and hide again on a click (Qt's own flag for
  // this, read by the buttons when they paint).
  const bool key = event->type() == QEvent::KeyPress;
  if (key || event->type() == QEvent::MouseButtonPress) {
    if (testAttribute(Qt::WA_KeyboardFocusChange) != key) {
      setAttribute(Qt::WA_KeyboardFocusChange, key);
      if (QWidget* focused = focusWidget()) focused->update();
    }
  }
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
  if (event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  event->accept();
  // The window system moves the window where it can (it knows about screens and snapping).
  if (QWindow* handle = windowHandle(); handle != nullptr && handle->startSystemMove()) return;
  dragOffset_ = event->globalPosition().toPoint() - pos();
}

void InstallerWindow::mouseMoveEvent(QMouseEvent* event) {
  if (!dragOffset_ || !(event->buttons() & Qt::LeftButton)) {
    QWidget::mouseMoveEvent(event);
    return;
  }
  event->accept();
  move(event->globalPosition().toPoint() - *dragOffset_);
}

void InstallerWindow::mouseReleaseEvent(QMouseEvent* event) {
  dragOffset_.reset();
  QWidget::mouseReleaseEvent(event);
}

}  // namespace vexa
