#include "core/tls_identity.h"

#include <mbedtls/aes.h>
#include <mbedtls/base64.h>
#include <mbedtls/cipher.h>
#include <mbedtls/ecp.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/ssl_ciphersuites.h>

#include <cstdlib>
#include <cstring>

#include "core/build_settings.h"

namespace {
// Decoded once on the main thread and kept for the process.
char* identityCache = nullptr;
}  // namespace

const char* tlsIdentity() {
  if (identityCache != nullptr) return identityCache;
  std::size_t textLength = std::strlen(kTlsIdentityBase64);
  // As long as the base64 text: the decoded PEM needs three quarters of it,
  // so the zero fill always terminates it.
  auto* buffer = static_cast<unsigned char*>(std::calloc(textLength + 1, 1));
  if (buffer == nullptr) return nullptr;
  std::size_t decoded = 0;
  int rc = mbedtls_base64_decode(
      buffer, textLength, &decoded,
      reinterpret_cast<const unsigned char*>(kTlsIdentityBase64), textLength);
  if (rc != 0 || decoded == 0) {
    std::free(buffer);
    return nullptr;
  }
  identityCache = reinterpret_cast<char*>(buffer);
  return identityCache;
}

void prepareTlsLibrary() {
  mbedtls_aes_context aes;
  const unsigned char key[16] = {};
  mbedtls_aes_init(&aes);
  (void)mbedtls_aes_setkey_enc(&aes, key, 128);
  mbedtls_aes_free(&aes);
  (void)mbedtls_cipher_list();
  (void)mbedtls_ssl_list_ciphersuites();
  (void)mbedtls_ecp_grp_id_list();
}

void forgetTlsIdentity() {
  if (identityCache == nullptr) return;
  mbedtls_platform_zeroize(identityCache, std::strlen(identityCache));
  std::free(identityCache);
  identityCache = nullptr;
}
