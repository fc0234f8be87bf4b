#include "catalogue/module_names.h"

bool isPlainModuleName(const std::string& name) {
  // The signed catalogue's serial and expiry time.
  if (name == "issued" || name == "expires") return false;
  return isPlainFileName(
      [&](std::size_t i) { return static_cast<unsigned char>(name[i]); },
      name.size());
}
