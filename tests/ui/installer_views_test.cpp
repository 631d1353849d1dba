#include <QApplication>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "tests/support/qt_application.h"
#include "tests/ui/screen_samples.h"
#include "ui/accent_button.h"
#include "ui/installer_artwork.h"
#include "ui/installer_progress.h"

namespace vexa {
namespace {

using testing::renderWidget;

const QColor kFill(65, 118, 230);
const QColor kTrack(233, 238, 247);

int distance(QColor a, QColor b) {
  return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue());
}

bool near(QColor actual, QColor expected, int tolerance = 6) { return distance(actual, expected) <= tolerance; }

// First and last column of row `y` whose colour is nearer the bar's fill than its track.
std::optional<std::pair<int, int>> filledColumns(const QImage& image, int y) {
  std::optional<std::pair<int, int>> span;
  for (int x = 0; x < image.width(); ++x) {
    const QColor colour = image.pixelColor(x, y);
    if (distance(colour, kFill) < distance(colour, kTrack)) {
      if (!span) span = std::make_pair(x, x);
      span->second = x;
    }
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

  // One tick of the running animation, as its timer would deliver it.
  void tick(int count = 1) {
    ASSERT_NE(bar_->animation(), nullptr);
    for (int i = 0; i < count; ++i) {
      QMetaObject::invokeMethod(const_cast<QTimer*>(bar_->animation()), "timeout", Qt::DirectConnection);
    }
  }

  bool reduceMotion_ = false;
  std::optional<InstallerProgress> bar_;
};

TEST_F(ProgressTest, Determinate_FillsItsShareOfTheWidth) {
  struct Case {
    double value;
    std::optional<std::pair<int, int>> filled;
  };
  const Case cases[] = {{0, std::nullopt}, {50, std::make_pair(0, 199)}, {100, std::make_pair(0, 399)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    bar_->setDoubleValue(c.value);
    EXPECT_DOUBLE_EQ(bar_->doubleValue(), c.value);
    const QImage image = renderWidget(*bar_);
    EXPECT_EQ(filledColumns(image, 5), c.filled);
    if (!c.filled) {
      EXPECT_TRUE(near(image.pixelColor(200, 5), kTrack));
    }
  }
}

TEST_F(ProgressTest, IndeterminateUnderReduceMotion_ShowsTheFirstThirdWithoutTimer) {
  reduceMotion_ = true;
  bar_->setIndeterminate(true);
  bar_->startAnimation();
  EXPECT_EQ(bar_->animation(), nullptr);
  EXPECT_EQ(filledColumns(renderWidget(*bar_), 5), std::make_pair(0, 132));
}

TEST_F(ProgressTest, Animation_SweepsSixPointsPerTickAndWraps) {
  bar_->setIndeterminate(true);
  bar_->startAnimation();
  ASSERT_NE(bar_->animation(), nullptr);
  EXPECT_EQ(bar_->animation()->interval(), 40);
  EXPECT_TRUE(bar_->animation()->isActive());

  tick(21);
  EXPECT_DOUBLE_EQ(bar_->position(), 126);
  EXPECT_DOUBLE_EQ(bar_->segment().start, 6);
  EXPECT_DOUBLE_EQ(bar_->segment().end, 126);
  EXPECT_EQ(filledColumns(renderWidget(*bar_), 5), std::make_pair(6, 125));

  // 87 ticks reach 522, past the 520-point sweep (width + segment): the remainder is kept.
  tick(66);
  EXPECT_DOUBLE_EQ(bar_->position(), 2);
  // Near the right edge the segment is cut at the bar's end.
  tick(70);
  EXPECT_DOUBLE_EQ(bar_->position(), 422);
  EXPECT_DOUBLE_EQ(bar_->segment().start, 302);
  EXPECT_DOUBLE_EQ(bar_->segment().end, 400);
}

TEST_F(ProgressTest, StopThenStart_ResumesFromTheKeptPosition) {
  bar_->setIndeterminate(true);
  bar_->startAnimation();
  tick(10);
  bar_->stopAnimation();
  EXPECT_EQ(bar_->animation(), nullptr);
  EXPECT_DOUBLE_EQ(bar_->position(), 60);
  bar_->startAnimation();
  tick();
  EXPECT_DOUBLE_EQ(bar_->position(), 66);
}

TEST_F(ProgressTest, RunningTimer_AdvancesTheBarAndEndsWithIt) {
  bar_->setIndeterminate(true);
  bar_->startAnimation();
  EXPECT_TRUE(testing::runEventLoopUntil([&] { return bar_->position() > 0; }));
  QPointer<const QTimer> timer(bar_->animation());
  bar_.reset();
  EXPECT_TRUE(timer.isNull());
}

TEST(ArtworkTest, Compact_MovesTheCardAndDropsTheFade) {
  testing::ensureQtApplication();
  InstallerArtwork artwork;
  artwork.resize(798, 228);
  const QColor dot(65, 118, 230);
  const QColor iconTile(237, 243, 254);
  const QColor tile(238, 243, 250);

  QImage image = renderWidget(artwork);
  EXPECT_EQ(artwork.cardRect(), QRectF(178, 28, 444, 176));
  EXPECT_TRUE(near(image.pixelColor(225, 73), dot));
  EXPECT_TRUE(near(image.pixelColor(225, 53), iconTile));
  // The three tiles start at 202, 328.67 and 455.33 and are 117.33 wide, 44 high from y 120.
  for (int x : {204, 317, 331, 443, 458, 570}) EXPECT_TRUE(near(image.pixelColor(x, 140), tile, 8)) << x;
  for (int x : {321, 449}) EXPECT_FALSE(near(image.pixelColor(x, 140), tile, 3)) << x;
  // The fade whitens the bottom rows over the glow.
  EXPECT_GE(image.pixelColor(100, 225).red(), 251);

  artwork.setCompact(true);
  image = renderWidget(artwork);
  EXPECT_EQ(artwork.cardRect(), QRectF(256, 30, 286, 144));
  EXPECT_TRUE(near(image.pixelColor(303, 75), dot));
  EXPECT_FALSE(near(image.pixelColor(225, 73), dot, 60));
  EXPECT_LE(image.pixelColor(100, 225).red(), 247);
}

TEST(AccentButtonTest, DrawsGradientTitleAndFocusRingOnlyWithFocus) {
  testing::ensureQtApplication();
  QWidget window;
  window.resize(400, 100);
  auto* button = new AccentButton(QStringLiteral("Install Now"), &window);
  button->setGeometry(40, 20, 320, 46);
  auto* other = new QPushButton(QStringLiteral("other"), &window);
  other->setGeometry(0, 0, 10, 10);
  window.show();
  QApplication::setActiveWindow(&window);
  other->setFocus();
  ASSERT_FALSE(button->hasFocus());

  QImage image = renderWidget(*button);
  EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
  EXPECT_TRUE(near(image.pixelColor(2, 23), QColor(86, 134, 254), 4));
  EXPECT_TRUE(near(image.pixelColor(317, 23), QColor(65, 118, 230), 4));
  // The title is white and centred horizontally.
  int left = image.width();
  int right = -1;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixelColor(x, y).lightness() > 245) {
        left = std::min(left, x);
        right = std::max(right, x);
      }
    }
  }
  ASSERT_GT(right, left);
  EXPECT_NEAR(left, image.width() - 1 - right, 3);
  const QColor unfocusedRing = image.pixelColor(20, 5);

  button->setFocus();
  ASSERT_TRUE(button->hasFocus());
  image = renderWidget(*button);
  EXPECT_GT(image.pixelColor(20, 5).lightness(), unfocusedRing.lightness() + 30);
  EXPECT_TRUE(near(unfocusedRing, image.pixelColor(20, 10), 12));
}

}  // namespace
}  // namespace vexa
