#include "platform/reduce_motion.h"

#include "platform/desktop_settings.h"

namespace vexa::platform {

bool reduceMotion() { return readDesktopSettings().reduceMotion; }

}  // namespace vexa::platform
