#include "catalogue/module_names.h"

bool isPlainModuleName(const std::string& name) {
  return isPlainFileName(
      [&](std::size_t i) { return static_cast<unsigned char>(name[i]); },
      name.size());
}
