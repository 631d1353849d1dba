#include "platform/terminal.h"

#include <unistd.h>

namespace vexa::platform {

bool standardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace vexa::platform
