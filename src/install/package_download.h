// A package brought onto disk as the catalogue describes it: one file in the
// temporary directory, resumed across attempts and checked by its digest.
#ifndef LAUNCHER_INSTALL_PACKAGE_DOWNLOAD_H
#define LAUNCHER_INSTALL_PACKAGE_DOWNLOAD_H

#include <cstdint>
#include <string>

#include "install/install_task.h"

// Makes the file at path the package of that url, size and SHA-512 digest
// (lower-case hex): a complete file that matches is kept without a transfer,
// a shorter one is resumed, anything else is fetched from its start, with
// the transfer's stall limit. Ok, DownloadFailed (a partial file stays for
// the next attempt) or DigestMismatch (the file is deleted). With progress,
// its base is set to the resume offset and reportProgress is told.
InstallError downloadPackage(const char* path, const std::string& url,
                             std::int32_t size, const std::string& digest,
                             ProgressContext* progress);

#endif
