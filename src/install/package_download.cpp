#include "install/package_download.h"

#include <cstdio>

#include "catalogue/http_transfer.h"
#include "install/file_digest.h"
#include "platform/platform.h"

namespace {

// Bytes already in a package file left by an earlier attempt.
std::int64_t existingPackageSize(const char* path) {
  std::FILE* file = platform::openFile(path, "rb");
  if (file == nullptr) return 0;
  std::int64_t size = 0;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  std::fclose(file);
  return size < 0 ? 0 : size;
}

void addToDigest(void* digest, const char* bytes, std::size_t length) {
  if (digest != nullptr) static_cast<StreamDigest*>(digest)->add(bytes, length);
}

}  // namespace

InstallError downloadPackage(const char* path, const std::string& url,
                             std::int32_t size, const std::string& digest,
                             ProgressContext* progress) {
  std::int64_t existing = existingPackageSize(path);
  if (size != 0 && existing == size && fileMatchesDigest(path, digest.c_str()))
    return Ok;
  std::int32_t offset =
      existing < size ? static_cast<std::int32_t>(existing) : 0;
  if (progress != nullptr) progress->base = offset;
  // Digested as the bytes arrive, after those a resumed file already holds,
  // instead of reading the whole file again afterwards.
  StreamDigest streamed;
  bool digesting = offset == 0 || streamed.addFile(path);
  if (downloadToFile(url.c_str(), path, offset,
                     progress != nullptr ? reportProgress : nullptr, progress,
                     addToDigest, digesting ? &streamed : nullptr) != 0)
    return DownloadFailed;
  if (!(digesting ? streamed.matches(digest.c_str())
                  : fileMatchesDigest(path, digest.c_str()))) {
    platform::deleteFile(path);
    return DigestMismatch;
  }
  return Ok;
}
