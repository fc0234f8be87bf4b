// The signed catalogue's stamp and the accepted-serial record.
#include "catalogue/catalogue_freshness.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/platform.h"

namespace {

constexpr char kRecordName[] = "catalogue-issued";
constexpr char kRecordTemporarySuffix[] = ".new";
// Wider than any int64_t in decimal with a line end: a longer file is
// damaged, whatever it starts with.
constexpr std::size_t kRecordBytes = 24;
constexpr std::size_t kPathUnits = 1024;

bool readStampMember(const Json::Value& document, const char* key,
                     std::int64_t& value) {
  const Json::Value* member = document.find(key, key + std::strlen(key));
  if (member == nullptr ||
      (member->type() != Json::intValue && member->type() != Json::uintValue))
    return false;
  if (!member->isInt64() || member->asInt64() < 0) return false;
  value = member->asInt64();
  return true;
}

}  // namespace

bool readCatalogueStamp(const Json::Value& document, CatalogueStamp& stamp) {
  return document.isObject() &&
         readStampMember(document, "issued", stamp.issued) &&
         readStampMember(document, "expires", stamp.expires);
}

bool isCurrentCatalogue(const CatalogueStamp& stamp, std::int64_t now,
                        std::int64_t accepted) {
  return now < stamp.expires && stamp.issued >= accepted;
}

std::string acceptedSerialPath(const std::string& modulesDirectory) {
  const std::size_t cut = modulesDirectory.rfind(platform::kPathSeparator);
  if (cut == std::string::npos) return std::string();
  return modulesDirectory.substr(0, cut + 1) + kRecordName;
}

std::int64_t readAcceptedSerial(const std::string& path) {
  if (path.empty()) return 0;
  std::FILE* file = platform::openFile(path.c_str(), "rb");
  if (file == nullptr) return 0;
  char text[kRecordBytes + 1];
  const std::size_t length = std::fread(text, 1, sizeof text, file);
  std::fclose(file);
  // Digits, then one line end; nothing else.
  std::size_t digits = 0;
  std::int64_t serial = 0;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  for (; digits < length && text[digits] >= '0' && text[digits] <= '9';
       ++digits) {
    const int digit = text[digits] - '0';
    if (serial > (kMax - digit) / 10) return 0;
    serial = serial * 10 + digit;
  }
  if (digits == 0 || length != digits + 1 || text[digits] != '\n') return 0;
  return serial;
}

bool recordAcceptedSerial(const std::string& path, std::int64_t serial) {
  if (path.empty() || serial < 0) return false;
  platform::Utf16 target[kPathUnits];
  platform::Utf16 temporary[kPathUnits];
  const std::string temporaryPath = path + kRecordTemporarySuffix;
  if (platform::narrowToUtf16(path.c_str(), target, kPathUnits) == 0 ||
      platform::narrowToUtf16(temporaryPath.c_str(), temporary, kPathUnits) ==
          0)
    return false;
  char text[kRecordBytes];
  const int length = std::snprintf(text, sizeof text, "%lld\n",
                                   static_cast<long long>(serial));
  const platform::FileHandle file = platform::createOutputFile(temporary);
  if (file == platform::kNoFile) return false;
  const bool written =
      platform::writeFile(file, text, static_cast<std::size_t>(length));
  if (!platform::closeFile(file) || !written) {
    platform::removeOutputFile(temporary);
    return false;
  }
  if (platform::replaceFile(temporary, target)) return true;
  platform::removeOutputFile(temporary);
  return false;
}
