#pragma once

#include "ui/flipped_view.h"

namespace vexa {

// The installer window's content: a white card with 12-point rounded corners and a 1-point light
// outline, on the window's transparent background. Main thread only; painting cannot fail.
class CardView final : public FlippedView {
 public:
  using FlippedView::FlippedView;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace vexa
