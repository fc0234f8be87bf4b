// Unpacking a 7z module package into a directory.
#ifndef LAUNCHER_INSTALL_PACKAGE_EXTRACTION_H
#define LAUNCHER_INSTALL_PACKAGE_EXTRACTION_H

#include <cstddef>

#include "platform/platform.h"

// 0 when every entry was unpacked; otherwise errno for an archive that
// cannot be opened, 2 out of memory, 4 a coder the decoder
// lacks, 11 an output file that cannot be created, written, closed or moved
// into place, 12 an entry whose name would leave the destination or that is
// a link, or the decoder's own code. All or nothing: after a failure the
// destination holds what it held before (checks that need no decoding fail
// before anything is written).
int extractPackage(const char* archivePath,
                   const platform::Utf16* destinationDirectory,
                   std::size_t destinationLength);

// What earlier calls could not remove (files replaced while in use, or the
// staging of a process that ended part way); for the start of the process,
// before any call. Originals that a commit cut short had moved aside go back
// first, so the module is as it was before that call.
void removeUnpackLeftovers(const platform::Utf16* destinationDirectory,
                           std::size_t destinationLength);

#endif
