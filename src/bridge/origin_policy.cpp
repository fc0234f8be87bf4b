#include "bridge/origin_policy.h"

#include <sstream>

#include "core/build_settings.h"

namespace {

// Space-separated exact origins, as browsers send them.
std::vector<std::string> allowedOrigins() {
  std::vector<std::string> origins;
  std::istringstream list(kAllowedOrigins);
  for (std::string origin; list >> origin;) origins.push_back(origin);
  return origins;
}

}  // namespace

bool originInList(const char* origin, const std::vector<std::string>& allowed,
                  bool allowMissing) {
  if (allowed.empty()) return true;
  if (origin == nullptr) return allowMissing;
  for (const std::string& entry : allowed)
    if (entry == origin) return true;
  return false;
}

bool originAllowed(const char* origin) {
  static const std::vector<std::string> allowed = allowedOrigins();
  return originInList(origin, allowed, kAllowNoOrigin);
}
