#pragma once

namespace vexa::platform {

// The desktop's "reduce motion" accessibility preference, read from the desktop's files on every
// call (readDesktopSettings() says which). A caller that asks often keeps a DesktopSettingsWatch
// instead. False when no desktop states a preference or a file cannot be read. Never throws;
// callable from any thread.
[[nodiscard]] bool reduceMotion();

}  // namespace vexa::platform
