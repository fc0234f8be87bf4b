// A catalogue document through the strict reader and every lookup, for each
// module the document names and for a name made of the input's last bytes.
// The lookups must agree with each other: an unlisted module has no version
// and no fields, and the size is the "size" field read as a clamped count.
#include <json/value.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bridge/json_text.h"
#include "catalogue/module_catalogue.h"
#include "catalogue/module_names.h"
#include "fuzz_support.h"

namespace {

// strtol's reading, clamped to 32 bits: an independent statement of what
// packageSize promises.
std::int32_t expectedSize(const std::string& text) {
  if (text.empty()) return 0;
  errno = 0;
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < -std::int64_t{INT32_MAX} - 1) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

void checkLookups(const std::string& name) {
  const int listed = checkModuleListed(name);
  fuzzCheck(listed == 0 || listed == 6, "checkModuleListed gave another code");
  if (listed == 0) fuzzCheck(isPlainModuleName(name), "unsafe name listed");

  const std::string latest = latestVersion(name);
  const std::string fields[] = {installUrl(name), packageDigest(name),
                                libraryDigest(name),
                                moduleVersionField(name, "size")};
  const std::int32_t size = packageSize(name);
  if (listed == 6 || latest.empty()) {
    fuzzCheck(latest.empty() || listed == 0, "unlisted module has a version");
    for (const std::string& field : fields)
      fuzzCheck(field.empty(), "field without a listed version");
    fuzzCheck(size == 0, "size without a listed version");
  }
  fuzzCheck(
      size == expectedSize(fields[3]),
      "packageSize " + std::to_string(size) + " for \"" + fields[3] + "\"");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  Json::Value strict;
  const bool parsed = parseJsonText(text, size, strict);
  fuzzCheck(replaceCatalogueText(text, size) == parsed,
            "the catalogue and the strict reader disagree");

  std::vector<std::string> names;
  if (parsed && strict.isObject()) names = strict.getMemberNames();
  // Names the document need not hold: its last bytes, up to a brace.
  std::size_t start = size;
  while (start > 0 && size - start < 64 && text[start - 1] != '}') --start;
  names.emplace_back(text + start, size - start);

  for (const std::string& name : names) checkLookups(name);
  return 0;
}
