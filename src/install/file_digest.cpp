// SHA-512 of files on disk, as lower-case hexadecimal text.
#include "install/file_digest.h"

#include <mbedtls/sha512.h>

#include <cstdio>
#include <vector>

#include "catalogue/module_catalogue.h"
#include "platform/platform.h"

namespace {
constexpr std::size_t kReadBlock = 65536;
constexpr char kHexDigits[] = "0123456789abcdef";

bool digestMatches(const unsigned char digest[64], const char* expected) {
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
}  // namespace

StreamDigest::StreamDigest() {
  mbedtls_sha512_init(&context_);
  result_ = mbedtls_sha512_starts_ret(&context_, 0);
}

StreamDigest::~StreamDigest() { mbedtls_sha512_free(&context_); }

void StreamDigest::add(const void* bytes, std::size_t length) {
  if (result_ == 0)
    result_ = mbedtls_sha512_update_ret(
        &context_, static_cast<const unsigned char*>(bytes), length);
}

bool StreamDigest::addFile(const char* path) {
  std::FILE* file = platform::openFile(path, "rb");
  if (file == nullptr) return false;
  std::vector<unsigned char> block(kReadBlock);
  bool ok = true;
  for (;;) {
    std::size_t n = std::fread(block.data(), 1, block.size(), file);
    add(block.data(), n);
    if (n < block.size()) {
      // A failing read would never reach the end of the file.
      ok = !std::ferror(file);
      break;
    }
  }
  std::fclose(file);
  return ok;
}

bool StreamDigest::finish(unsigned char digest[64]) {
  if (result_ == 0) result_ = mbedtls_sha512_finish_ret(&context_, digest);
  const bool ok = result_ == 0;
  // Nothing more can be added to a finished digest.
  if (ok) result_ = 1;
  return ok;
}

bool StreamDigest::matches(const char* expected) {
  unsigned char digest[64];
  return finish(digest) && digestMatches(digest, expected);
}

int fileSha512(const char* path, unsigned char digest[64]) {
  StreamDigest stream;
  if (!stream.addFile(path)) return 1;
  return stream.finish(digest) ? 0 : 2;
}

bool fileMatchesDigest(const char* path, const char* expected) {
  unsigned char digest[64];
  return fileSha512(path, digest) == 0 && digestMatches(digest, expected);
}

bool libraryMatchesCatalogue(const char* path, const std::string& moduleName) {
  return fileMatchesDigest(path, libraryDigest(moduleName).c_str());
}
