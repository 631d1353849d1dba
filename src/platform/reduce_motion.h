#pragma once

namespace vexa::platform {

// The desktop's "reduce motion" accessibility preference: true when the user asked for fewer
// animations. Linux desktops expose it as files the user's session writes, read afresh on every
// call so a change takes effect at once:
//   $XDG_CONFIG_HOME/gtk-4.0/settings.ini or gtk-3.0/settings.ini, [Settings] gtk-enable-animations
//   (false or 0 turns motion off), and
//   $XDG_CONFIG_HOME/kdeglobals, [KDE] AnimationDurationFactor (0 turns motion off).
// $XDG_CONFIG_HOME defaults to ~/.config. False when no desktop states a preference or a file
// cannot be read. Never throws; callable from any thread.
[[nodiscard]] bool reduceMotion();

}  // namespace vexa::platform
