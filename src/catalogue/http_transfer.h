// The launcher's two kinds of HTTP GET, over libcurl's easy interface.
#ifndef LAUNCHER_CATALOGUE_HTTP_TRANSFER_H
#define LAUNCHER_CATALOGUE_HTTP_TRANSFER_H

#include <cstddef>
#include <cstdint>

struct ReceiveBuffer {
  char* bytes;  // malloc'd; null before the first byte; caller frees
  std::uint32_t length;
};

// libcurl's transfer-information shape; counts cover this transfer only.
using ProgressHook = int (*)(void* context, std::int64_t totalExpected,
                             std::int64_t received, std::int64_t uploadTotal,
                             std::int64_t uploaded);

// Once, before any transfer thread starts: libcurl's global set-up is not
// safe to run on two threads at once.
void initialiseHttpTransfer();

// The trust bundle for HTTPS peers; null or empty keeps libcurl's default.
void setTransferTrustBundle(const char* path);

// Each piece of a body as it is written to its file.
using BytesHook = void (*)(void* context, const char* bytes,
                           std::size_t length);

// 0 when the transfer completed with 200 or 206; 1 otherwise.
int downloadToFile(const char* url, const char* path, std::int32_t resumeOffset,
                   ProgressHook progress, void* progressContext,
                   BytesHook written = nullptr, void* writtenContext = nullptr);

// 0 when the transfer completed with exactly 200; 1 otherwise.
int downloadToMemory(const char* url, ReceiveBuffer* buffer,
                     std::int32_t timeoutSeconds);

std::size_t appendToBuffer(char* data, std::size_t size, std::size_t count,
                           void* buffer);

#endif
