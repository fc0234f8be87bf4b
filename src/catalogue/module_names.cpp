#include "catalogue/module_names.h"

bool isPlainModuleName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    // Both platforms' separators and the drive colon, whatever this build
    // runs on: catalogue names are shared by every platform.
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':')
      return false;
  }
  return true;
}
