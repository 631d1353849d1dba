#include <gtest/gtest.h>
#include <QPointer>
#include <QTimer>

#include <optional>

#include "tests/support/qt_application.h"
#include "tests/ui/screen_samples.h"
#include "ui/installer_progress.h"

namespace vexa {
namespace {

using Span = std::optional<std::pair<int, int>>;

const QColor kFill(65, 118, 230);
const QColor kTrack(233, 238, 247);

int distance(QColor a, QColor b) {
  return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
         std::abs(a.blue() - b.blue());
}

// First and last column of the bar's middle row whose colour is nearer the fill than the track.
Span filledColumns(QWidget& bar) {
  const QImage image = testing::renderWidget(bar);
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
    bar_.emplace();
    bar_->setRange(0, 100);
    bar_->resize(400, 10);
  }

  std::optional<InstallerProgress> bar_;
};

TEST_F(ProgressTest, StillBars_FillTheirShare) {
  for (const auto& [value, filled] :
       {std::pair<double, Span>{0, std::nullopt}, {50, std::make_pair(0, 199)}}) {
    bar_->setDoubleValue(value);
    EXPECT_EQ(filledColumns(*bar_), filled) << value;
  }
  // Indeterminate under reduce motion: a still first third, and no timer.
  bar_->setReduceMotion(true);
  bar_->setIndeterminate(true);
  bar_->startAnimation();
  EXPECT_EQ(bar_->animation(), nullptr);
  EXPECT_EQ(filledColumns(*bar_), std::make_pair(0, 132));
}

// A timer moves the segment only while the bar is shown, not minimized, without reduce motion.
TEST_F(ProgressTest, Animation_RunsOnlyWhileSeen) {
  bar_->setIndeterminate(true);
  bar_->startAnimation();
  EXPECT_EQ(bar_->animation(), nullptr);
  bar_->show();
  EXPECT_TRUE(testing::runEventLoopUntil([&] { return bar_->position() > 0; }));
  bar_->setWindowState(Qt::WindowMinimized);
  EXPECT_EQ(bar_->animation(), nullptr);
  bar_->setWindowState(Qt::WindowNoState);
  EXPECT_NE(bar_->animation(), nullptr);
  bar_->setReduceMotion(true);
  EXPECT_EQ(bar_->animation(), nullptr);
  bar_->setReduceMotion(false);
  QPointer<const QTimer> timer(bar_->animation());
  ASSERT_FALSE(timer.isNull());
  bar_.reset();
  EXPECT_TRUE(timer.isNull());
}

}  // namespace
}  // namespace vexa
