// SHA-512 of files on disk, as lower-case hexadecimal text.
#include "install/file_digest.h"

#include <mbedtls/sha512.h>

#include <cstdio>

#include "catalogue/module_catalogue.h"

namespace {
constexpr std::size_t kReadBlock = 4096;
constexpr char kHexDigits[] = "0123456789abcdef";
}  // namespace

int fileSha512(const char* path, unsigned char digest[64]) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return 1;
  mbedtls_sha512_context context;
  mbedtls_sha512_init(&context);
  int result = mbedtls_sha512_starts_ret(&context, 0);
  unsigned char block[kReadBlock];
  while (result == 0) {
    if (std::feof(file)) {
      result = mbedtls_sha512_finish_ret(&context, digest);
      break;
    }
    std::size_t n = std::fread(block, 1, sizeof block, file);
    // A failing read would never reach the end of the file.
    if (n == 0 && std::ferror(file)) {
      result = 1;
      break;
    }
    result = mbedtls_sha512_update_ret(&context, block, n);
  }
  mbedtls_sha512_free(&context);
  std::fclose(file);
  return result;
}

bool fileMatchesDigest(const char* path, const char* expected) {
  unsigned char digest[64];
  if (fileSha512(path, digest) != 0) return false;
  char text[128];
  for (std::size_t i = 0; i < 64; ++i) {
    text[2 * i] = kHexDigits[digest[i] >> 4];
    text[2 * i + 1] = kHexDigits[digest[i] & 0x0F];
  }
  // Stops at the first difference, so a short text ends at its terminator.
  for (std::size_t i = 0; i < 128; ++i)
    if (expected[i] != text[i]) return false;
  return true;
}

bool libraryMatchesCatalogue(const char* path, const std::string& moduleName) {
  return fileMatchesDigest(path, libraryDigest(moduleName).c_str());
}
