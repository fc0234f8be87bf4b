// The one catalogue of the unit-test binary: a process publishes a catalogue
// only once, so every test that needs one calls ensureTestCatalogue() and
// relies on the entries below. The first call also records the built test
// modules (TEST_MODULE_DIR) as the modules directory; no test may start a
// catalogue fetch before it, since only the first start records one.
#ifndef LAUNCHER_TESTS_UNIT_TEST_CATALOGUE_H
#define LAUNCHER_TESTS_UNIT_TEST_CATALOGUE_H

#include <mutex>
#include <string>

#include "catalogue/http_transfer.h"
#include "catalogue/module_catalogue.h"

inline const char kTestCatalogue[] = R"({
  "digestmod": {
    "latest": "1.2.3",
    "description": "other members are ignored",
    "versions": {
      "1.2.2": {"install": "https://127.0.0.1:9/old.7z", "size": 7,
                "sha512e": "00", "sha512d": "00"},
      "1.2.3": {
        "install": "https://127.0.0.1:9/digestmod.7z", "size": 1048576,
        "sha512e": "package digest", "sha512d": "library digest",
        "real": 1234.0, "half": 0.5, "yes": true, "no": false,
        "negative": -17, "big": 99999999999, "nothing": null,
        "object": {"a": 1}, "array": [1, 2]
      }
    }
  },
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
  "issued": {"latest": "1", "versions": {"1": {"install": "https://127.0.0.1:9/i.7z"}}},
  "expires": {"latest": "1", "versions": {"1": {"install": "https://127.0.0.1:9/e.7z"}}}
})";

inline std::string testModulesDirectory() { return TEST_MODULE_DIR; }

// True while kTestCatalogue is the catalogue.
inline bool ensureTestCatalogue() {
  static std::once_flag once;
  static bool published = false;
  std::call_once(once, [] {
    // A closed port: the fetch fails at once and only records the directory.
    initialiseHttpTransfer();
    startCatalogueFetch(TEST_MODULE_DIR, "https://127.0.0.1:9/online/win.json");
    waitForCatalogueFetch();
    published = publishCatalogueText(kTestCatalogue, sizeof kTestCatalogue - 1);
  });
  return published;
}

#endif
