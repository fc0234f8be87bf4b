// Which names may become file names.
#ifndef LAUNCHER_CATALOGUE_MODULE_NAMES_H
#define LAUNCHER_CATALOGUE_MODULE_NAMES_H

#include <cstddef>
#include <cstring>
#include <string>

// The catalogue's entry for the launcher itself, with the members of a
// module's: its setup, offered when its "latest" is newer than the running
// launcher.
constexpr char kLauncherEntryName[] = "launcher";

// Whether a text may name a module: isPlainFileName over its bytes
// (catalogue names are shared by every platform), and not one of the
// catalogue's own top-level members, which describe the document or the
// launcher.
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

// Whether one file name, read unit by unit through unitAt(i) for i below
// length, names a file of its own inside the directory it is joined to, on
// every system: not empty; no separator of any platform, no drive or stream
// colon, no control character or other character Windows forbids; no
// trailing "." or " " (Windows drops those, so "..." or ".. " would climb);
// no device name.
template <typename UnitAt>
bool isPlainFileName(UnitAt unitAt, std::size_t length) {
  if (length == 0) return false;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned unit = static_cast<unsigned>(unitAt(i));
    if (unit < 0x20 || unit == 0x7F ||
        (unit < 0x80 &&
         std::strchr("/\\:<>\"|?*", static_cast<int>(unit)) != nullptr))
      return false;
  }
  const unsigned last = static_cast<unsigned>(unitAt(length - 1));
  return last != '.' && last != ' ' && !isDeviceName(unitAt, length);
}

#endif
