#pragma once

#include "ui/flipped_view.h"

namespace vexa {

// The decorative picture above the window's texts: two soft blue glows, a floating card with an
// icon, two text bars and three tiles, and (unless compact) a fade into white at the bottom.
// Drawn entirely in code at fixed coordinates; the bounds only clip. Main thread only.
class InstallerArtwork : public FlippedView {
  Q_OBJECT

 public:
  explicit InstallerArtwork(QWidget* parent = nullptr);

  // The smaller card without the bottom fade. Writing it requests a redraw.
  [[nodiscard]] bool compact() const { return compact_; }
  void setCompact(bool compact);

  // The card's rectangle for the current mode; every card shape is placed relative to it.
  [[nodiscard]] QRectF cardRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool compact_ = false;
};

}  // namespace vexa
