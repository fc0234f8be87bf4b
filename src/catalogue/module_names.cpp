#include "catalogue/module_names.h"

bool isPlainModuleName(const std::string& name) {
  if (name.empty() || name.back() == '.' || name.back() == ' ') return false;
  for (unsigned char c : name) {
    // Both platforms' separators and the drive colon, whatever this build
    // runs on.
    if (c < 0x20 || c == 0x7F || std::strchr("/\\:<>\"|?*", c) != nullptr)
      return false;
  }
  return !isDeviceName(
      [&](std::size_t i) { return static_cast<unsigned char>(name[i]); },
      name.size());
}
