#include "platform/system_error.h"

#include <system_error>

namespace vexa::platform {

void throwErrno(const std::string& what, int error) {
  throw std::system_error(error, std::generic_category(), what);
}

}  // namespace vexa::platform
