// Which names may become file names.
#ifndef LAUNCHER_CATALOGUE_MODULE_NAMES_H
#define LAUNCHER_CATALOGUE_MODULE_NAMES_H

#include <cstddef>
#include <cstring>
#include <string>

// False for the empty name, "." and "..", and names with a separator of any
// platform, a drive colon or a control character: such a name would reach
// outside the directory it is joined to. Also false for names that Windows
// would not keep as they are (a trailing "." or " ", a device name, the
// characters it forbids): catalogue names are shared by every platform.
bool isPlainModuleName(const std::string& name);

// Whether one file name, read unit by unit through unitAt(i) for i below
// length, is one that Windows opens as a device in any directory and with
// any extension ("nul.txt", "COM1.dll"); the digits include superscripts.
template <typename UnitAt>
bool isDeviceName(UnitAt unitAt, std::size_t length) {
  // The part before the first ".", without trailing spaces.
  std::size_t base = 0;
  while (base < length && unitAt(base) != '.') ++base;
  while (base > 0 && unitAt(base - 1) == ' ') --base;
  auto startsWith = [&](const char* word) {
    for (std::size_t i = 0; word[i] != '\0'; ++i) {
      unsigned unit = i < base ? static_cast<unsigned>(unitAt(i)) : 0;
      if (unit >= 'a' && unit <= 'z') unit -= 32;
      if (unit != static_cast<unsigned char>(word[i])) return false;
    }
    return true;
  };
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (std::strlen(device) == base && startsWith(device)) return true;
  if (base != 4 || !(startsWith("COM") || startsWith("LPT"))) return false;
  const unsigned digit = static_cast<unsigned>(unitAt(3));
  return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 ||
         digit == 0xB3;
}

#endif
