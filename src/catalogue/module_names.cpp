#include "catalogue/module_names.h"

bool isPlainModuleName(const std::string& name) {
  // The signed catalogue's serial and expiry time, and the launcher's own
  // entry.
  if (name == "issued" || name == "expires" || name == kLauncherEntryName)
    return false;
  return isPlainFileName(
      [&](std::size_t i) { return static_cast<unsigned char>(name[i]); },
      name.size());
}
