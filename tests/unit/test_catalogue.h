// The one catalogue document of the unit-test binary. A process can publish
// a catalogue only once, so every test that needs one calls
// ensureTestCatalogue() and relies on the modules listed here.
//
// The document is the fixed text of testCatalogueText() plus the entries of
// the test module libraries (tests/modules), whose "sha512d" digests are
// computed at run time from the built libraries (testModuleEntries()).
//
// The modules directory: ensureTestCatalogue() first copies every library of
// TEST_MODULE_DIR (build/test-modules) into a fresh temporary directory,
// testModulesDirectory(), adds a few derived files (below), and records that
// directory by starting a catalogue fetch from a closed port
// (startCatalogueFetch records the directory of its first call only, so no
// test may call it before ensureTestCatalogue). The fetch fails at once; then
// the document is published. The directory is removed when the process ends.
#ifndef LAUNCHER_TESTS_UNIT_TEST_CATALOGUE_H
#define LAUNCHER_TESTS_UNIT_TEST_CATALOGUE_H

#include <json/value.h>
#include <stdlib.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "bridge/json_text.h"
#include "catalogue/module_catalogue.h"
#include "install/file_digest.h"

// "digestmod" 1.2.3: its "sha512d" is the SHA-512 of this library content,
// its "sha512e" that of kDigestmodPackageContent.
inline const char kDigestmodLibraryContent[] = "digestmod library\n";
inline const char kDigestmodPackageContent[] = "digestmod package\n";
inline const char kDigestmodLibraryDigest[] =
    "2099772ee3fcc227a77c07db434a30d86f96ec67f44fcb3618faa70893a33a81"
    "791f9b59656878abe2483bc054554e2667d773a6faa335036da5d7675b7284fb";
inline const char kDigestmodPackageDigest[] =
    "70306fdf71332436d961c69a293131e48f2a29e34b4766c57f56a6a9885bbded"
    "0068aa16ffc1a0ba7ab801c1481a6445a51072403b7a4231c048657185f0b584";

inline const std::string& testCatalogueText() {
  static const std::string text = [] {
    std::string document = R"({
  "digestmod": {
    "latest": "1.2.3",
    "description": "other members are ignored",
    "versions": {
      "1.2.2": {"install": "https://127.0.0.1:9/old.7z", "size": 7,
                "sha512e": "00", "sha512d": "00"},
      "1.2.3": {
        "install": "https://127.0.0.1:9/digestmod.7z",
        "size": 1048576,
        "sha512e": "@PACKAGE@",
        "sha512d": "@LIBRARY@",
        "real": 1234.0, "half": 0.5, "yes": true, "no": false,
        "negative": -17, "big": 99999999999, "nothing": null,
        "object": {"a": 1}, "array": [1, 2]
      }
    }
  },
  "upperdigest": {"latest": "1", "versions": {"1": {"sha512d": "@LIBRARY_UPPER@"}}},
  "nodigest": {"latest": "1", "versions": {"1": {"install": "https://127.0.0.1:9/n.7z"}}},
  "stalelatest": {"latest": "1.2.3", "versions": {"1.2.2": {
    "install": "https://127.0.0.1:9/stale.7z", "size": 5,
    "sha512e": "00", "sha512d": "00"}}},
  "emptylatest": {"latest": "", "versions": {"": {"install": "https://127.0.0.1:9/e.7z", "size": 3}}},
  "nolatest": {"versions": {"1": {"install": "https://127.0.0.1:9/x.7z", "size": 3}}},
  "nulllatest": {"latest": null, "versions": {"": {"install": "https://127.0.0.1:9/x.7z"}}},
  "objectlatest": {"latest": {"v": "1"}, "versions": {"1": {"install": "https://127.0.0.1:9/x.7z"}}},
  "numberlatest": {"latest": 2, "versions": {"2": {"install": "https://127.0.0.1:9/two.7z"}}},
  "boollatest": {"latest": true, "versions": {"true": {"install": "https://127.0.0.1:9/true.7z"}}},
  "sizetext": {"latest": "1", "versions": {"1": {"size": "1048576"}}},
  "sizejunk": {"latest": "1", "versions": {"1": {"size": "12abc"}}},
  "sizespaced": {"latest": "1", "versions": {"1": {"size": "  +42 "}}},
  "sizeletters": {"latest": "1", "versions": {"1": {"size": "abc"}}},
  "sizeempty": {"latest": "1", "versions": {"1": {"size": ""}}},
  "sizeabsent": {"latest": "1", "versions": {"1": {"install": "https://127.0.0.1:9/x.7z"}}},
  "sizereal": {"latest": "1", "versions": {"1": {"size": 1500.0}}},
  "sizehuge": {"latest": "1", "versions": {"1": {"size": 99999999999}}},
  "sizehugenegative": {"latest": "1", "versions": {"1": {"size": "-99999999999"}}},
  "sizeobject": {"latest": "1", "versions": {"1": {"size": {"n": 5}}}},
  "textmodule": "not an object",
  "versionsarray": {"latest": "1", "versions": ["1"]},
  "entryarray": {"latest": "1", "versions": {"1": ["install"]}},
  "nullmodule": null,
  "a/b": {"latest": "1", "versions": {"1": {"install": "https://127.0.0.1:9/ab.7z"}}}
})";
    std::string upper = kDigestmodLibraryDigest;
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    const std::pair<const char*, std::string> tokens[] = {
        {"@PACKAGE@", kDigestmodPackageDigest},
        {"@LIBRARY@", kDigestmodLibraryDigest},
        {"@LIBRARY_UPPER@", upper}};
    for (const auto& [token, digest] : tokens)
      document.replace(document.find(token), std::strlen(token), digest);
    return document;
  }();
  return text;
}

// ---- Test module libraries ------------------------------------------------

// The modules directory of the unit tests (see the top); empty until
// ensureTestCatalogue() has made it.
inline std::string& testModulesDirectoryText() {
  static std::string directory;
  return directory;
}
inline const std::string& testModulesDirectory() {
  return testModulesDirectoryText();
}

// Lower-case hexadecimal SHA-512 of a file; empty when it cannot be read.
inline std::string testFileDigest(const std::string& path) {
  static const char digits[] = "0123456789abcdef";
  unsigned char digest[64];
  if (fileSha512(path.c_str(), digest) != 0) return std::string();
  std::string text;
  for (unsigned char byte : digest) {
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

// Files that ensureTestCatalogue() adds to the modules directory beside the
// copies of the built test modules: copies of echo.so (version 1.2.3.4)
// under other names, and a file that is not a library.
inline const char kEchoStaleModule[] = "echostale";    // catalogue "1.2.4"
inline const char kEchoFourPartModule[] = "echofour";  // catalogue "1.2.3.4"
inline const char kEchoBadDigestModule[] = "echobaddigest";  // wrong sha512d
inline const char kNotLibraryModule[] = "notlibrary";        // a text file
inline const char kNotLibraryContent[] = "not a library\n";
// Listed, but no file in the modules directory.
inline const char kAbsentModule[] = "absentmod";

// Copies the built test modules and adds the derived files. False when the
// directory cannot be made.
inline bool makeTestModulesDirectory() {
  namespace fs = std::filesystem;
  std::error_code error;
  std::string pattern =
      (fs::temp_directory_path(error) / "launcher-unit-modules-XXXXXX")
          .string();
  if (error || mkdtemp(pattern.data()) == nullptr) return false;
  const fs::path directory = pattern;
  for (const fs::directory_entry& entry :
       fs::directory_iterator(TEST_MODULE_DIR, error)) {
    if (entry.path().extension() != ".so") continue;
    fs::copy_file(entry.path(), directory / entry.path().filename(), error);
    if (error) return false;
  }
  const fs::path echo = directory / "echo.so";
  for (const char* name :
       {kEchoStaleModule, kEchoFourPartModule, kEchoBadDigestModule}) {
    fs::copy_file(echo, directory / (std::string(name) + ".so"), error);
    if (error) return false;
  }
  std::ofstream(directory / (std::string(kNotLibraryModule) + ".so"),
                std::ios::binary)
      << kNotLibraryContent;
  testModulesDirectoryText() = directory.string();
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(testModulesDirectoryText(), ignored);
  });
  return true;
}

// One entry: "latest" (left out when null) and, for that version, the
// digest of the named file in the modules directory, or the given text.
inline Json::Value testModuleEntry(const char* latest, const std::string& file,
                                   const char* digest = nullptr) {
  Json::Value entry(Json::objectValue);
  if (latest == nullptr) {
    entry["versions"] = Json::Value(Json::objectValue);
    return entry;
  }
  entry["latest"] = latest;
  Json::Value& version = entry["versions"][latest];
  version["install"] = "https://127.0.0.1:9/" + file + ".7z";
  version["size"] = 1;
  version["sha512e"] = "00";
  version["sha512d"] =
      digest != nullptr
          ? std::string(digest)
          : testFileDigest(testModulesDirectory() + "/" + file + ".so");
  return entry;
}

// The entries of the test modules, with digests of the files as copied.
inline Json::Value testModuleEntries() {
  Json::Value entries(Json::objectValue);
  // Listed with their own version and digest, so each checks as current (0).
  const std::pair<const char*, const char*> current[] = {
      {"echo", "1.2.3"},      {"twoone", "2.0.1"},    {"Beta", "1.0.0"},
      {"alpha", "1.0.0"},     {"emptypoll", "1.0.0"}, {"ticker", "1.0.0"},
      {"slowpoll", "1.0.0"},  {"nullslots", "1.0.0"}, {"noexport", "1.0.0"},
      {"nulltable", "1.0.0"},
  };
  for (const auto& [name, latest] : current)
    entries[name] = testModuleEntry(latest, name);
  // No "latest": the empty version text equals nostamp's, no digest: 4.
  entries["nostamp"] = testModuleEntry(nullptr, "nostamp");
  entries[kEchoStaleModule] = testModuleEntry("1.2.4", kEchoStaleModule);
  entries[kEchoFourPartModule] =
      testModuleEntry("1.2.3.4", kEchoFourPartModule);
  entries[kEchoBadDigestModule] =
      testModuleEntry("1.2.3", kEchoBadDigestModule, kDigestmodLibraryDigest);
  entries[kNotLibraryModule] = testModuleEntry("", kNotLibraryModule);
  entries[kAbsentModule] = testModuleEntry("1.0.0", kAbsentModule);
  // Names that cannot be file names (as "a/b" above): never listed.
  entries["a\\b"] = testModuleEntry("1.0.0", "ab");
  entries["c:x"] = testModuleEntry("1.0.0", "cx");
  return entries;
}

// The whole document: the fixed text with the module entries added.
inline const std::string& testCatalogueDocument() {
  static const std::string text = [] {
    Json::Value document;
    if (!parseJsonText(testCatalogueText(), document)) return std::string();
    const Json::Value entries = testModuleEntries();
    for (const std::string& name : entries.getMemberNames())
      document[name] = entries[name];
    return writeJsonText(document);
  }();
  return text;
}

// Makes the modules directory, records it and publishes the document on the
// first call; true while it is the catalogue.
inline bool ensureTestCatalogue() {
  static std::once_flag once;
  static bool published = false;
  std::call_once(once, [] {
    if (!makeTestModulesDirectory()) return;
    // A closed port: the fetch fails at once and only records the directory.
    startCatalogueFetch(testModulesDirectory().c_str(),
                        "https://127.0.0.1:9/online/win.json");
    waitForCatalogueFetch();
    const std::string& text = testCatalogueDocument();
    published = !text.empty() && publishCatalogueText(text.data(), text.size());
  });
  return published;
}

#endif
