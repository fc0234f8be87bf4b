// ModuleCatalogue: fetched on its own thread, parsed into a separate value
// and published whole by setting catalogueReady, so a lookup sees either no
// document or a complete one.
#include "catalogue/module_catalogue.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "bridge/json_text.h"
#include "catalogue/catalogue_freshness.h"
#include "catalogue/catalogue_signature.h"
#include "catalogue/http_transfer.h"
#include "catalogue/module_names.h"
#include "core/build_settings.h"

namespace {

constexpr std::int32_t kCatalogueTimeoutSeconds = 30;

// Written only while catalogueReady is clear, by the one running fetch, and
// never again once it is set.
Json::Value moduleCatalogue;
std::atomic<bool> catalogueReady{false};

// fetchLock makes the check, the start and the filling of the slot one step,
// and the fetch's own last step waits for it; so two INITMCs start one fetch
// and a fetch never ends before its slot is filled.
std::mutex fetchLock;
std::thread catalogueFetchThread;
const char* recordedDirectory = "";
// Set before the first fetch starts; never changed afterwards.
CatalogueLoadedHook loadedHook = nullptr;

const Json::Value* catalogueDocument() {
  return catalogueReady.load() ? &moduleCatalogue : nullptr;
}

// A member of an object, or null when there is no object or no member.
const Json::Value* objectMember(const Json::Value* object, const char* key,
                                std::size_t length) {
  if (object == nullptr || !object->isObject()) return nullptr;
  return object->find(key, key + length);
}

// The document's member for a module, or null. A name that cannot be a file
// name is never listed, whatever the document says.
const Json::Value* catalogueMember(const std::string& name) {
  if (!isPlainModuleName(name)) return nullptr;
  return objectMember(catalogueDocument(), name.data(), name.size());
}

// Text form: strings as they are, integers in decimal, reals with 17
// significant digits and a ".0" where they would read as integers, booleans
// as words; null, arrays and objects as the empty text.
std::string textForm(const Json::Value* value) {
  if (value == nullptr) return std::string();
  switch (value->type()) {
    case Json::stringValue:
      return value->asString();
    case Json::intValue:
      return std::to_string(value->asLargestInt());
    case Json::uintValue:
      return std::to_string(value->asLargestUInt());
    case Json::realValue: {
      char text[40];
      std::snprintf(text, sizeof text, "%.17g", value->asDouble());
      if (std::strpbrk(text, ".eE") == nullptr) std::strcat(text, ".0");
      return text;
    }
    case Json::booleanValue:
      return value->asBool() ? "true" : "false";
    default:
      return std::string();
  }
}

// strtol in base 10, clamped to 32 bits.
std::int32_t countFromText(const std::string& text) {
  const char* p = text.c_str();
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  std::int64_t value = 0;
  constexpr std::int64_t kLimit = std::int64_t{INT32_MAX} + 1;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > kLimit) value = kLimit;
  }
  if (negative) return static_cast<std::int32_t>(-value);
  return value > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(value);
}

void publish(Json::Value& parsed) {
  moduleCatalogue.swap(parsed);
  catalogueReady.store(true);
}

bool parseAndPublish(const char* data, std::size_t length) {
  Json::Value parsed;
  if (!parseJsonText(data, length, parsed)) return false;
  publish(parsed);
  return true;
}

// With keys built in, a document counts only with its signature, and only
// while it is current. Its serial is recorded before it is used.
void acceptSignedCatalogue(const char* url, const char* data,
                           std::size_t length) {
  ReceiveBuffer signature{nullptr, 0};
  const std::string signatureUrl = std::string(url) + kCatalogueSignatureSuffix;
  const std::string record = acceptedSerialPath(recordedModulesDirectory());
  const std::int64_t accepted = readAcceptedSerial(record);
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::seconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count();
  Json::Value parsed;
  CatalogueStamp stamp{};
  const bool opened =
      downloadToMemory(signatureUrl.c_str(), &signature,
                       kCatalogueTimeoutSeconds) == 0 &&
      openSignedCatalogue(kCatalogueKeys, data, length, signature.bytes,
                          signature.length, now, accepted, parsed, stamp);
  std::free(signature.bytes);
  if (!opened) return;
  // A record that cannot be written (a read-only folder, where no module
  // could be installed either) does not cost the launcher its catalogue.
  if (stamp.issued > accepted) recordAcceptedSerial(record, stamp.issued);
  publish(parsed);
}

void fetchCatalogue(const char* url) {
  ReceiveBuffer buffer{nullptr, 0};
  if (downloadToMemory(url, &buffer, kCatalogueTimeoutSeconds) == 0) {
    const char* data = buffer.bytes == nullptr ? "" : buffer.bytes;
    if (catalogueMustBeSigned())
      acceptSignedCatalogue(url, data, buffer.length);
    else
      parseAndPublish(data, buffer.length);
  }
  std::free(buffer.bytes);
  if (catalogueReady.load() && loadedHook != nullptr) loadedHook();

  std::lock_guard<std::mutex> guard(fetchLock);
  // After stopCatalogueFetch the slot is no longer this thread's.
  if (catalogueFetchThread.get_id() == std::this_thread::get_id()) {
    catalogueFetchThread.detach();
    catalogueFetchThread = std::thread();
  }
}

}  // namespace

void startCatalogueFetch(const char* modulesDirectory, const char* url) {
  std::lock_guard<std::mutex> guard(fetchLock);
  if (catalogueReady.load() || catalogueFetchThread.joinable()) return;
  recordedDirectory = modulesDirectory;
  try {
    catalogueFetchThread = std::thread(fetchCatalogue, url);
  } catch (const std::system_error&) {
    // No thread: the catalogue stays absent and a later INITMC tries again.
  }
}

void setCatalogueLoadedHook(CatalogueLoadedHook hook) { loadedHook = hook; }

void stopCatalogueFetch() {
  std::lock_guard<std::mutex> guard(fetchLock);
  if (catalogueFetchThread.joinable()) catalogueFetchThread.detach();
  catalogueFetchThread = std::thread();
}

int catalogueState() {
  if (catalogueReady.load()) return 1;
  std::lock_guard<std::mutex> guard(fetchLock);
  return catalogueFetchThread.joinable() ? 0 : -1;
}

bool catalogueMustBeSigned() { return kCatalogueKeys[0] != '\0'; }

bool signedCatalogueInForce() {
  return catalogueMustBeSigned() && catalogueReady.load();
}

const char* recordedModulesDirectory() {
  std::lock_guard<std::mutex> guard(fetchLock);
  return recordedDirectory;
}

int checkModuleListed(const std::string& name) {
  const Json::Value* entry = catalogueMember(name);
  return (entry == nullptr || entry->isNull()) ? 6 : 0;
}

namespace {

std::string latestOf(const Json::Value* entry) {
  return textForm(objectMember(entry, "latest", 6));
}

std::string latestFieldOf(const Json::Value* entry, const char* key) {
  std::string latest = latestOf(entry);
  if (latest.empty()) return std::string();
  const Json::Value* version = objectMember(objectMember(entry, "versions", 8),
                                            latest.data(), latest.size());
  return textForm(objectMember(version, key, std::strlen(key)));
}

const Json::Value* launcherEntry() {
  return objectMember(catalogueDocument(), kLauncherEntryName,
                      sizeof kLauncherEntryName - 1);
}

}  // namespace

std::string latestVersion(const std::string& name) {
  return latestOf(catalogueMember(name));
}

std::string moduleVersionField(const std::string& name, const char* key) {
  return latestFieldOf(catalogueMember(name), key);
}

std::string launcherLatestVersion() { return latestOf(launcherEntry()); }

std::string launcherVersionField(const char* key) {
  return latestFieldOf(launcherEntry(), key);
}

std::string installUrl(const std::string& name) {
  return moduleVersionField(name, "install");
}

std::int32_t packageSize(const std::string& name) {
  std::string text = moduleVersionField(name, "size");
  return text.empty() ? 0 : countFromText(text);
}

std::int32_t launcherSetupSize() {
  std::string text = launcherVersionField("size");
  return text.empty() ? 0 : countFromText(text);
}

std::string packageDigest(const std::string& name) {
  return moduleVersionField(name, "sha512e");
}

std::string libraryDigest(const std::string& name) {
  return moduleVersionField(name, "sha512d");
}

bool publishCatalogueText(const char* data, std::size_t length) {
  std::lock_guard<std::mutex> guard(fetchLock);
  if (catalogueReady.load()) return false;
  return parseAndPublish(data, length);
}

bool replaceCatalogueText(const char* data, std::size_t length) {
  std::lock_guard<std::mutex> guard(fetchLock);
  catalogueReady.store(false);
  moduleCatalogue = Json::Value();
  return parseAndPublish(data, length);
}

void waitForCatalogueFetch() {
  while (catalogueState() == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
