#include "ui/installer_colours.h"

namespace vexa {

InstallerColours installerColours(bool increaseContrast) {
  if (!increaseContrast) {
    return {
        // The light appearance's secondary label colour: black at 50 % opacity.
        .detail = QColor(0, 0, 0, 128),       .tagline = QColor(114, 124, 146),
        .plainTitle = QColor(0, 0, 0, 128),   .closeTitle = QColor(0, 0, 0, 217),
        .focusRing = QColor(65, 118, 230),    .accentStart = QColor(86, 134, 254),
        .accentEnd = QColor(65, 118, 230),    .progressTrack = QColor(233, 238, 247),
        .progressFill = QColor(65, 118, 230),
    };
  }
  // Slate greys of the heading's ink family (9:1 and more on white), a deeper blue under the white
  // title (at least 5.5:1 across the gradient) and the heading's ink for the ring (16:1).
  return {
      .detail = QColor(64, 72, 90),
      .tagline = QColor(64, 72, 90),
      .plainTitle = QColor(40, 48, 66),
      .closeTitle = QColor(20, 30, 54),
      .focusRing = QColor(20, 30, 54),
      .accentStart = QColor(46, 96, 214),
      .accentEnd = QColor(32, 80, 190),
      .progressTrack = QColor(205, 214, 230),
      .progressFill = QColor(32, 80, 190),
  };
}

}  // namespace vexa
