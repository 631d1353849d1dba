#include <gtest/gtest.h>
#include <QApplication>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <optional>

#include "tests/support/qt_application.h"
#include "tests/ui/screen_samples.h"
#include "ui/accent_button.h"
#include "ui/installer_artwork.h"
#include "ui/installer_progress.h"

namespace vexa {
namespace {

using testing::renderWidget;
using Span = std::optional<std::pair<int, int>>;

const QColor kFill(65, 118, 230);
const QColor kTrack(233, 238, 247);

int distance(QColor a, QColor b) {
  return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
         std::abs(a.blue() - b.blue());
}

bool near(QColor actual, QColor expected, int tolerance = 6) {
  return distance(actual, expected) <= tolerance;
}

// First and last column of the bar's middle row whose colour is nearer the fill than the track.
Span filledColumns(QWidget& bar) {
  const QImage image = renderWidget(bar);
  Span span;
  for (int x = 0; x < image.width(); ++x) {
    const QColor colour = image.pixelColor(x, image.height() / 2);
    if (distance(colour, kFill) < distance(colour, kTrack))
      span = std::make_pair(span ? span->first : x, x);
  }
  return span;
}

class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ensureQtApplication();
    bar_.emplace(nullptr, [this] { return reduceMotion_; });
    bar_->setRange(0, 100);
    bar_->resize(400, 10);
  }

  // Ticks of the running animation, delivered as its timer delivers them.
  void tick(int count) {
    ASSERT_NE(bar_->animation(), nullptr);
    for (int i = 0; i < count; ++i)
      QMetaObject::invokeMethod(const_cast<QTimer*>(bar_->animation()), "timeout");
  }

  bool reduceMotion_ = false;
  std::optional<InstallerProgress> bar_;
};

TEST_F(ProgressTest, StillBars_FillTheirShare) {
  for (const auto& [value, filled] : {std::pair<double, Span>{0, std::nullopt},
                                      {50, std::make_pair(0, 199)},
                                      {100, std::make_pair(0, 399)}}) {
    bar_->setDoubleValue(value);
    EXPECT_EQ(filledColumns(*bar_), filled) << value;
  }
  // Indeterminate under reduce motion: a still first third, and no timer.
  reduceMotion_ = true;
  bar_->setIndeterminate(true);
  bar_->startAnimation();
  EXPECT_EQ(bar_->animation(), nullptr);
  EXPECT_EQ(filledColumns(*bar_), std::make_pair(0, 132));
}

// The running timer advances the bar six points per tick, wraps past the 520-point sweep (width
// plus segment), cuts the segment at the bar's end, resumes where it stopped and ends with the bar.
TEST_F(ProgressTest, Animation_SweepsSixPointsPerTickWrapsAndResumes) {
  bar_->setIndeterminate(true);
  bar_->startAnimation();
  EXPECT_TRUE(testing::runEventLoopUntil([&] { return bar_->position() > 0; }));
  ASSERT_EQ(bar_->animation()->interval(), 40);
  bar_->stopAnimation();
  EXPECT_EQ(bar_->animation(), nullptr);
  bar_->startAnimation();
  tick(21 - static_cast<int>(bar_->position() / 6));
  EXPECT_DOUBLE_EQ(bar_->position(), 126);
  EXPECT_EQ(filledColumns(*bar_), std::make_pair(6, 125));
  tick(66);  // 522: the remainder is kept
  EXPECT_DOUBLE_EQ(bar_->position(), 2);
  tick(70);
  EXPECT_DOUBLE_EQ(bar_->segment().start, 302);
  EXPECT_DOUBLE_EQ(bar_->segment().end, 400);
  QPointer<const QTimer> timer(bar_->animation());
  bar_.reset();
  EXPECT_TRUE(timer.isNull());
}

TEST(ArtworkTest, Compact_MovesTheCardAndDropsTheFade) {
  testing::ensureQtApplication();
  InstallerArtwork artwork;
  artwork.resize(798, 228);
  const QColor tile(238, 243, 250);
  QImage image = renderWidget(artwork);
  // The glow fades from its colour towards the white background: partly transparent, not flat.
  const int inner = image.pixelColor(150, 145).red();
  const int outer = image.pixelColor(60, 100).red();
  EXPECT_TRUE(228 < inner && inner < outer && outer < 252) << inner << " " << outer;
  EXPECT_TRUE(near(image.pixelColor(225, 73), kFill));                  // the dot
  EXPECT_TRUE(near(image.pixelColor(225, 53), QColor(237, 243, 254)));  // its tile
  // Three tiles at x 202, 328.67 and 455.33, 117.33 wide; the gaps and the rest are card.
  for (int x : {204, 317, 331, 443, 458, 570})
    EXPECT_TRUE(near(image.pixelColor(x, 140), tile, 8)) << x;
  for (int x : {321, 449, 600}) EXPECT_FALSE(near(image.pixelColor(x, 140), tile, 3)) << x;
  EXPECT_GE(image.pixelColor(100, 225).red(), 251);  // the fade whitens the bottom over the glow

  artwork.setCompact(true);
  image = renderWidget(artwork);
  EXPECT_EQ(artwork.cardRect(), QRectF(256, 30, 286, 144));
  EXPECT_TRUE(near(image.pixelColor(303, 75), kFill));
  EXPECT_FALSE(near(image.pixelColor(225, 73), kFill, 60));
  EXPECT_LE(image.pixelColor(100, 225).red(), 247);
}

TEST(AccentButtonTest, DrawsGradientCentredTitleAndRingOnlyWithFocus) {
  testing::ensureQtApplication();
  QWidget window;
  auto* button = new AccentButton(QStringLiteral("Install Now"), &window);
  button->setGeometry(40, 20, 320, 46);
  (new QPushButton(&window))->setFocus();
  window.show();
  QApplication::setActiveWindow(&window);

  QImage image = renderWidget(*button);
  EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
  EXPECT_TRUE(near(image.pixelColor(2, 23), QColor(86, 134, 254), 4));
  EXPECT_TRUE(near(image.pixelColor(317, 23), kFill, 4));
  // The white title's first and last columns are as far from either side.
  std::vector<int> white;
  for (int x = 0; x < image.width(); ++x)
    for (int y = 0; y < image.height(); ++y)
      if (image.pixelColor(x, y).lightness() > 245) white.push_back(x);
  ASSERT_FALSE(white.empty());
  EXPECT_NEAR(white.front(), image.width() - 1 - white.back(), 3);
  const QColor unfocused = image.pixelColor(20, 5);  // on the ring's top edge

  button->setFocus();
  ASSERT_TRUE(button->hasFocus());
  image = renderWidget(*button);
  EXPECT_GT(image.pixelColor(20, 5).lightness(), unfocused.lightness() + 30);
  EXPECT_TRUE(near(unfocused, image.pixelColor(20, 10), 12));
}

}  // namespace
}  // namespace vexa
