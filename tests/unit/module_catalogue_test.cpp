#include "catalogue/module_catalogue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "bridge/json_text.h"
#include "test_catalogue.h"

namespace {

// Every accessor below the module entry comes back empty (or 0).
void expectNoVersionEntry(const std::string& name) {
  SCOPED_TRACE(name);
  EXPECT_EQ(installUrl(name), "");
  EXPECT_EQ(packageSize(name), 0);
  EXPECT_EQ(packageDigest(name), "");
  EXPECT_EQ(libraryDigest(name), "");
}

class ModuleCatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ensureTestCatalogue()); }
};

TEST_F(ModuleCatalogueTest, ListingIsExactAndIgnoresNullEntries) {
  EXPECT_EQ(catalogueState(), 1);
  EXPECT_EQ(checkModuleListed("digestmod"), 0);
  EXPECT_EQ(checkModuleListed("stalelatest"), 0);
  // Listed whatever the entry holds.
  EXPECT_EQ(checkModuleListed("textmodule"), 0);
  for (const char* name : {"Digestmod", "DIGESTMOD", "digestmod ", " digestmod",
                           "digest", "nullmodule", "ghost", "", "a/b"}) {
    EXPECT_EQ(checkModuleListed(name), 6) << '"' << name << '"';
  }
}

TEST_F(ModuleCatalogueTest, AccessorsReadTheLatestVersionEntry) {
  EXPECT_EQ(latestVersion("digestmod"), "1.2.3");
  EXPECT_EQ(installUrl("digestmod"), "https://127.0.0.1:9/digestmod.7z");
  EXPECT_EQ(packageSize("digestmod"), 1048576);
  EXPECT_EQ(packageDigest("digestmod"), kDigestmodPackageDigest);
  EXPECT_EQ(libraryDigest("digestmod"), kDigestmodLibraryDigest);
  EXPECT_EQ(moduleVersionField("digestmod", "install"),
            installUrl("digestmod"));
  EXPECT_EQ(moduleVersionField("digestmod", "Install"), "");
  EXPECT_EQ(moduleVersionField("digestmod", "description"), "");
}

TEST_F(ModuleCatalogueTest, LatestMissingFromVersionsLeavesEveryFieldEmpty) {
  EXPECT_EQ(latestVersion("stalelatest"), "1.2.3");
  expectNoVersionEntry("stalelatest");
}

TEST_F(ModuleCatalogueTest, UnusableLatestFindsNoVersionEntry) {
  // An empty "latest" must not select the version entry named "".
  for (const char* name :
       {"emptylatest", "nolatest", "nulllatest", "objectlatest", "ghost"}) {
    EXPECT_EQ(latestVersion(name), "") << name;
    expectNoVersionEntry(name);
  }
}

TEST_F(ModuleCatalogueTest, ScalarLatestIsLookedUpByItsText) {
  EXPECT_EQ(latestVersion("numberlatest"), "2");
  EXPECT_EQ(installUrl("numberlatest"), "https://127.0.0.1:9/two.7z");
  EXPECT_EQ(latestVersion("boollatest"), "true");
  EXPECT_EQ(installUrl("boollatest"), "https://127.0.0.1:9/true.7z");
}

TEST_F(ModuleCatalogueTest, SizeIsConvertedLikeStrtolAndClamped) {
  const struct {
    const char* name;
    std::int32_t size;
  } cases[] = {
      {"sizetext", 1048576},
      {"sizejunk", 12},
      {"sizespaced", 42},
      {"sizeletters", 0},
      {"sizeempty", 0},
      {"sizeabsent", 0},
      {"sizereal", 1500},
      {"sizehuge", 2147483647},
      {"sizehugenegative", -2147483647 - 1},
      {"sizeobject", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(packageSize(c.name), c.size) << c.name;
}

TEST_F(ModuleCatalogueTest, ValuesReadAsTheirTextForm) {
  const struct {
    const char* key;
    const char* text;
  } cases[] = {
      {"real", "1234.0"}, {"half", "0.5"},     {"yes", "true"},
      {"no", "false"},    {"negative", "-17"}, {"big", "99999999999"},
      {"nothing", ""},    {"object", ""},      {"array", ""},
      {"absent", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(moduleVersionField("digestmod", c.key), c.text) << c.key;
}

TEST_F(ModuleCatalogueTest, NonObjectEntriesReadAsEmpty) {
  EXPECT_EQ(latestVersion("textmodule"), "");
  for (const char* name : {"textmodule", "versionsarray", "entryarray"})
    expectNoVersionEntry(name);
}

TEST_F(ModuleCatalogueTest, LoadedCatalogueIsNeverReplaced) {
  const std::string other = R"({"latecomer": {"latest": "1"}})";
  EXPECT_FALSE(publishCatalogueText(other.data(), other.size()));
  EXPECT_EQ(checkModuleListed("latecomer"), 6);
  EXPECT_EQ(checkModuleListed("digestmod"), 0);
  EXPECT_EQ(catalogueState(), 1);
}

// The catalogue's strictness is that of parseJsonText (tested further in
// json_text_test.cpp), which can be exercised any number of times per
// process: these are the catalogue documents that must be refused.
TEST(JsonTextStrictTest, RefusesLenientCatalogueDocuments) {
  const char* rejected[] = {
      "{\"m\": {\"latest\": \"1\" // note\n}}",
      "{\"m\": {\"latest\": \"1\",}}",
      "{\"m\": {\"sizes\": [1, 2,]}}",
      "{\"m\": {\"latest\": \"1\", \"latest\": \"2\"}}",
      "\xEF\xBB\xBF{\"m\": {}}",
      "{\"m\": {\"size\": NaN}}",
      "{\"m\": {\"size\": -Infinity}}",
      "{\"m\": [1,,2]}",
  };
  for (const char* text : rejected) {
    Json::Value value;
    EXPECT_FALSE(parseJsonText(std::string(text), value)) << text;
  }
}

}  // namespace
