#pragma once

class QWidget;

namespace vexa {

// What assistive technology (screen readers through AT-SPI, VoiceOver, UI Automation) sees of the
// installer window, beyond Qt's own interfaces for labels and buttons:
//  - the window is a window (not a generic filler), named as the window names itself;
//  - the card holding the window's views lists only what is shown, and never the decorative
//    artwork;
//  - the progress bar is busy with no value while indeterminate, and otherwise reports the whole
//    percentage it shows (0...100).
// Installs a Qt accessibility factory once per process; the window calls it at construction.
// Main thread only.
void installInstallerAccessibility();

// Marks `widget` as the window's card (the container of every view) for the factory above.
void markAsCard(QWidget& widget);

}  // namespace vexa
