// SHA-512 of files, compared as lower-case hexadecimal text.
#ifndef LAUNCHER_INSTALL_FILE_DIGEST_H
#define LAUNCHER_INSTALL_FILE_DIGEST_H

#include <mbedtls/sha512.h>

#include <cstddef>
#include <string>

// SHA-512 of bytes that arrive in pieces, such as a file's as it is written.
class StreamDigest {
 public:
  StreamDigest();
  ~StreamDigest();
  StreamDigest(const StreamDigest&) = delete;
  StreamDigest& operator=(const StreamDigest&) = delete;

  void add(const void* bytes, std::size_t length);
  // Adds a whole file's bytes; false when it cannot be read.
  bool addFile(const char* path);
  // The digest of everything added; false when the engine failed.
  bool finish(unsigned char digest[64]);
  // Whether finish's digest text equals the first 128 characters of
  // expected; true only once per digest.
  bool matches(const char* expected);

 private:
  mbedtls_sha512_context context_;
  int result_;
};

// 0 when written; 1 when the file cannot be opened or read; 2 when the
// digest engine failed.
int fileSha512(const char* path, unsigned char digest[64]);
// True only when the digest text equals the first 128 characters of expected.
bool fileMatchesDigest(const char* path, const char* expected);
bool libraryMatchesCatalogue(const char* path, const std::string& moduleName);

#endif
