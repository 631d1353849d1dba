#pragma once

#include <QColor>

namespace vexa {

// The colours of the window's texts, buttons and focus indicators. The standard set is the
// window's own look; the high-contrast set, used when the desktop asks for more contrast, keeps
// its hues but reaches 4.5:1 for every text and 3:1 for every focus indicator against what lies
// behind it.
struct InstallerColours {
  QColor detail;         // the detail line
  QColor tagline;        // the tagline under the brand
  QColor plainTitle;     // titles of the text-only buttons
  QColor closeTitle;     // the corner close button's ×
  QColor focusRing;      // focus indicator of the text-only buttons (on white)
  QColor accentStart;    // the primary button's gradient, left
  QColor accentEnd;      // and right; its title and focus ring are white
  QColor progressTrack;  // the bar's track
  QColor progressFill;   // and its filled part
};

[[nodiscard]] InstallerColours installerColours(bool increaseContrast);

}  // namespace vexa
