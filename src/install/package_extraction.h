// Unpacking a 7z module package into a directory.
#ifndef LAUNCHER_INSTALL_PACKAGE_EXTRACTION_H
#define LAUNCHER_INSTALL_PACKAGE_EXTRACTION_H

#include <cstddef>

#include "platform/platform.h"

// 0 when every entry was unpacked; otherwise the system's error code for an
// archive that cannot be opened, 2 out of memory, 11 an output file that
// cannot be created, written or closed, 12 an entry whose name would leave
// the destination, or the decoder's own code.
int extractPackage(const char* archivePath,
                   const platform::Utf16* destinationDirectory,
                   std::size_t destinationLength);

#endif
