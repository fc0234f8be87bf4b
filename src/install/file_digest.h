// SHA-512 of files, compared as lower-case hexadecimal text.
#ifndef LAUNCHER_INSTALL_FILE_DIGEST_H
#define LAUNCHER_INSTALL_FILE_DIGEST_H

#include <string>

// 0 when written; 1 when the file cannot be opened or read; other values are
// the digest engine's errors.
int fileSha512(const char* path, unsigned char digest[64]);
// True only when the digest text equals the first 128 characters of expected.
bool fileMatchesDigest(const char* path, const char* expected);
bool libraryMatchesCatalogue(const char* path, const std::string& moduleName);

#endif
