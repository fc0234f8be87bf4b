// Proxies on POSIX: libcurl reads https_proxy, http_proxy and no_proxy from
// the environment itself, as every other program of the session does, so
// the choice stays with it.
#include "platform/platform.h"

namespace platform {

bool systemProxyFor(const char* /*url*/, char* /*buffer*/,
                    std::size_t /*size*/) {
  return false;
}

}  // namespace platform
