// Catalogue signatures, verified with mbedTLS's public-key layer. The keys
// are parsed again for each verification: a fetch is rare, and nothing is
// shared between threads.
#include "catalogue/catalogue_signature.h"

#include <mbedtls/ecp.h>
#include <mbedtls/pk.h>
#include <mbedtls/sha256.h>

#include <cstring>
#include <string>

#include "bridge/json_text.h"

namespace {

constexpr char kKeyEnd[] = "-----END PUBLIC KEY-----";

bool verifiesUnder(const std::string& pem, const unsigned char hash[32],
                   const unsigned char* signature, std::size_t length) {
  mbedtls_pk_context key;
  mbedtls_pk_init(&key);
  // A PEM text is parsed with its terminating NUL counted.
  bool verified = mbedtls_pk_parse_public_key(
                      &key, reinterpret_cast<const unsigned char*>(pem.c_str()),
                      pem.size() + 1) == 0 &&
                  mbedtls_pk_get_type(&key) == MBEDTLS_PK_ECKEY &&
                  mbedtls_pk_ec(key)->grp.id == MBEDTLS_ECP_DP_SECP256R1 &&
                  mbedtls_pk_verify(&key, MBEDTLS_MD_SHA256, hash, 32,
                                    signature, length) == 0;
  mbedtls_pk_free(&key);
  return verified;
}

}  // namespace

bool catalogueSignatureVerifies(const char* keys, const void* document,
                                std::size_t documentLength,
                                const void* signature,
                                std::size_t signatureLength) {
  if (signatureLength == 0 || signatureLength > kMaxCatalogueSignatureBytes)
    return false;
  unsigned char hash[32];
  if (mbedtls_sha256_ret(static_cast<const unsigned char*>(document),
                         documentLength, hash, /*is224=*/0) != 0)
    return false;
  const auto* sig = static_cast<const unsigned char*>(signature);
  for (const char* block = keys; block != nullptr && *block != '\0';) {
    const char* end = std::strstr(block, kKeyEnd);
    if (end == nullptr) break;
    end += sizeof kKeyEnd - 1;
    if (verifiesUnder(std::string(block, end), hash, sig, signatureLength))
      return true;
    block = end;
  }
  return false;
}

bool openSignedCatalogue(const char* keys, const char* data, std::size_t length,
                         const void* signature, std::size_t signatureLength,
                         std::int64_t now, std::int64_t accepted,
                         Json::Value& document, CatalogueStamp& stamp) {
  return catalogueSignatureVerifies(keys, data, length, signature,
                                    signatureLength) &&
         parseJsonText(data, length, document) &&
         readCatalogueStamp(document, stamp) &&
         isCurrentCatalogue(stamp, now, accepted);
}
