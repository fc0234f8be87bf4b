// Whether a catalogue document is the publisher's: an ECDSA P-256 signature
// over the SHA-256 of the document's exact bytes, under one of the public
// keys built into the launcher.
#ifndef LAUNCHER_CATALOGUE_CATALOGUE_SIGNATURE_H
#define LAUNCHER_CATALOGUE_CATALOGUE_SIGNATURE_H

#include <json/value.h>

#include <cstddef>
#include <cstdint>

#include "catalogue/catalogue_freshness.h"

// The signature lies at the document's URL with this suffix. Its body is the
// signature in DER (a SEQUENCE of the two INTEGERs r and s, as
// `openssl dgst -sha256 -sign` writes it), with nothing before or after.
constexpr char kCatalogueSignatureSuffix[] = ".sig";
// The longest DER form of a P-256 signature.
constexpr std::size_t kMaxCatalogueSignatureBytes = 72;

// Whether signature verifies over document under any key of keys: PEM
// "PUBLIC KEY" blocks one after another. A block that is no P-256 public key
// verifies nothing.
bool catalogueSignatureVerifies(const char* keys, const void* document,
                                std::size_t documentLength,
                                const void* signature,
                                std::size_t signatureLength);

// The whole check a signed catalogue passes, in this order: its signature
// verifies under keys (so the parser never sees bytes that the signature has
// not vouched for), it parses strictly, it carries a stamp, and the stamp is
// current at now (seconds since 1970) after serial accepted. On success the
// document and its stamp are filled in.
bool openSignedCatalogue(const char* keys, const char* data, std::size_t length,
                         const void* signature, std::size_t signatureLength,
                         std::int64_t now, std::int64_t accepted,
                         Json::Value& document, CatalogueStamp& stamp);

#endif
