// HTTP GET over libcurl's easy interface: packages to files, the catalogue
// to memory.
#include "catalogue/http_transfer.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/build_settings.h"
#include "platform/platform.h"

namespace {

constexpr long kMaxRedirects = 3;
// A package transfer has no overall limit (packages may be large and lines
// slow), but one that receives nothing for kTransferStallSeconds ends, so
// that its install ends and a later LOAD resumes it; connecting is bounded
// alike.
constexpr long kConnectSeconds = 30;
// Room for a proxy's URL ("http://host:port").
constexpr std::size_t kProxyCapacity = 512;
std::once_flag curlInitialised;
const char* trustBundle = nullptr;

// The proxy that the user's system settings choose for url (Windows);
// otherwise libcurl's own choice from https_proxy and no_proxy stands.
void setProxy(CURL* curl, const char* url) {
  char proxy[kProxyCapacity];
  if (!platform::systemProxyFor(url, proxy, sizeof proxy)) return;
  curl_easy_setopt(curl, CURLOPT_PROXY, proxy);
  if (platform::kProxyKnowsTheUser && proxy[0] != '\0') {
    // An empty user name makes libcurl's SSPI answer with the logged-on
    // user's credentials.
    curl_easy_setopt(curl, CURLOPT_PROXYAUTH,
                     CURLAUTH_NEGOTIATE | CURLAUTH_NTLM);
    curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, ":");
  }
}

// The settings both transfers begin with, in this order.
void setCommonOptions(CURL* curl, const char* url) {
  curl_easy_setopt(curl, CURLOPT_URL, url);
  // The catalogue's TLS vouches for the code this process loads: a revoked
  // certificate is refused. Revocation is checked where the TLS library can
  // (Schannel); an unreachable revocation server is no error.
  curl_easy_setopt(curl, CURLOPT_SSL_OPTIONS,
                   long{CURLSSLOPT_REVOKE_BEST_EFFORT});
  setProxy(curl, url);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  // Time-outs must not be signalled: this process is all threads.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (trustBundle != nullptr)
    curl_easy_setopt(curl, CURLOPT_CAINFO, trustBundle);
}

struct FileTarget {
  std::FILE* file;
  BytesHook written;
  void* context;
};

std::size_t writeToFile(char* data, std::size_t size, std::size_t count,
                        void* target) {
  auto* to = static_cast<FileTarget*>(target);
  std::size_t n = std::fwrite(data, 1, size * count, to->file);
  if (to->written != nullptr && n != 0) to->written(to->context, data, n);
  return n;
}

long performForCode(CURL* curl) {
  long code = 0;
  if (curl_easy_perform(curl) == CURLE_OK)
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
  return code;
}

}  // namespace

void initialiseHttpTransfer() {
  std::call_once(curlInitialised,
                 [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void setTransferTrustBundle(const char* path) {
  trustBundle = (path != nullptr && path[0] != '\0') ? path : nullptr;
}

int downloadToFile(const char* url, const char* path, std::int32_t resumeOffset,
                   ProgressHook progress, void* progressContext,
                   BytesHook written, void* writtenContext) {
  std::FILE* file = platform::openFile(path, resumeOffset == 0 ? "w+b" : "a+b");
  if (file == nullptr) return 1;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    std::fclose(file);
    return 1;
  }
  setCommonOptions(curl, url);
  // The resume position goes out as a plain range request: libcurl's own
  // resume would refuse a server that answers with the whole file, and the
  // partial file would then be resumed, and refused, for ever. Appended
  // whole, the file fails its digest and the next attempt starts afresh.
  char range[24];
  if (resumeOffset != 0) {
    std::snprintf(range, sizeof range, "%ld-", long{resumeOffset});
    curl_easy_setopt(curl, CURLOPT_RANGE, range);
  }
  FileTarget target{file, written, writtenContext};
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &target);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeToFile);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kTransferStallSeconds);
  if (progress != nullptr) {
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, progressContext);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION,
                     reinterpret_cast<curl_xferinfo_callback>(progress));
  }
  long code = performForCode(curl);
  curl_easy_cleanup(curl);
  std::fclose(file);
  return (code == 200 || code == 206) ? 0 : 1;
}

int downloadToMemory(const char* url, ReceiveBuffer* buffer,
                     std::int32_t timeoutSeconds) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return 1;
  setCommonOptions(curl, url);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, buffer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendToBuffer);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, long{timeoutSeconds});
  long code = performForCode(curl);
  curl_easy_cleanup(curl);
  return code == 200 ? 0 : 1;
}

std::size_t appendToBuffer(char* data, std::size_t size, std::size_t count,
                           void* target) {
  std::size_t n = size * count;
  auto* buffer = static_cast<ReceiveBuffer*>(target);
  if (buffer == nullptr || n == 0) return n;
  // The length is 32 bits wide; a body that would pass it fails instead of
  // wrapping.
  if (n > UINT32_MAX - buffer->length) return n + 1;
  void* grown = std::realloc(buffer->bytes, buffer->length + n);
  if (grown == nullptr) return n + 1;
  buffer->bytes = static_cast<char*>(grown);
  std::memcpy(buffer->bytes + buffer->length, data, n);
  buffer->length += static_cast<std::uint32_t>(n);
  return n;
}
