// The TLS library locks with pthreads on POSIX, as it is built.
#include "platform/platform.h"

namespace platform {

void setUpTlsLocks() {}

}  // namespace platform
