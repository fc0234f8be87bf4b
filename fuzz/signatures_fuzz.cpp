// The signed catalogue's envelope: a signature and a document through the
// whole check a fetch makes. Input: one byte n, then n bytes of signature,
// then the document. The keys and the one document they signed (the seed)
// are made at build time; whatever the input, only that document may ever
// pass, and it must still be refused once replayed or expired.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "catalogue/catalogue_signature.h"
#include "fuzz_support.h"

namespace {

// Before the seed's expiry, fixed so that runs repeat.
constexpr std::int64_t kNow = 1000000000;

std::string fileText(const char* path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) fuzzFinding(std::string("cannot read ") + path);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const std::string keys = fileText(FUZZ_SIGNATURE_KEYS);
  static const std::string signedDocument = fileText(FUZZ_SIGNED_DOCUMENT);
  if (size == 0) return 0;
  const std::size_t signatureLength = std::min<std::size_t>(data[0], size - 1);
  const std::uint8_t* signature = data + 1;
  const char* document =
      reinterpret_cast<const char*>(signature + signatureLength);
  const std::size_t length = size - 1 - signatureLength;

  Json::Value parsed;
  CatalogueStamp stamp{};
  if (!openSignedCatalogue(keys.c_str(), document, length, signature,
                           signatureLength, kNow, 0, parsed, stamp))
    return 0;
  fuzzCheck(std::string(document, length) == signedDocument,
            "a document that was never signed was accepted");
  fuzzCheck(!openSignedCatalogue(keys.c_str(), document, length, signature,
                                 signatureLength, kNow, stamp.issued + 1,
                                 parsed, stamp),
            "a replayed document was accepted");
  fuzzCheck(
      !openSignedCatalogue(keys.c_str(), document, length, signature,
                           signatureLength, stamp.expires, 0, parsed, stamp),
      "an expired document was accepted");
  fuzzCheck(!catalogueSignatureVerifies("", document, length, signature,
                                        signatureLength),
            "a signature verified without keys");
  return 0;
}
