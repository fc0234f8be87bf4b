// Catalogue lookups on the published test catalogue (test_catalogue.h).
#include "catalogue/module_catalogue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "install/launcher_update.h"
#include "test_catalogue.h"

namespace {

class ModuleCatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ensureTestCatalogue()); }
};

TEST_F(ModuleCatalogueTest, ListingIsExactAndIgnoresNullEntries) {
  EXPECT_EQ(catalogueState(), 1);
  // Listed whatever the entry holds.
  for (const char* name : {"digestmod", "stalelatest", "textmodule"})
    EXPECT_EQ(checkModuleListed(name), 0) << name;
  // The document's own members are never modules, whatever they hold.
  for (const char* name :
       {"Digestmod", "DIGESTMOD", "digestmod ", " digestmod", "digest",
        "nullmodule", "ghost", "", "issued", "expires", "launcher"})
    EXPECT_EQ(checkModuleListed(name), 6) << '"' << name << '"';
  EXPECT_EQ(installUrl("issued"), "");
}

// The launcher's entry offers an update only when it is later by numbers.
TEST(LauncherVersionTest, LaterByItsFirstThreeNumbersOnly) {
  EXPECT_TRUE(isNewerVersion("1.10.0", "1.9.0"));
  EXPECT_TRUE(isNewerVersion("2", "1.65535.65535"));
  EXPECT_TRUE(isNewerVersion("1.0.1", "1.0"));
  EXPECT_FALSE(isNewerVersion("1.9.0", "1.10.0"));
  EXPECT_FALSE(isNewerVersion("1.00.0", "1.0.0"));
  // A file version says three numbers of a launcher.
  EXPECT_FALSE(isNewerVersion("1.0.0.9", "1.0.0"));
  for (const char* text :
       {"", "1.x", "1..0", "1.0.", "-1", "1.0.0.0.1", "123456", " 2", "2 "})
    EXPECT_FALSE(isNewerVersion(text, "0.0.1")) << '"' << text << '"';
  EXPECT_FALSE(isNewerVersion("9", ""));
}

TEST_F(ModuleCatalogueTest, AccessorsReadTheLatestVersionEntry) {
  EXPECT_EQ(latestVersion("digestmod"), "1.2.3");
  EXPECT_EQ(installUrl("digestmod"), "https://127.0.0.1:9/digestmod.7z");
  EXPECT_EQ(packageSize("digestmod"), 1048576);
  EXPECT_EQ(packageDigest("digestmod"), "package digest");
  EXPECT_EQ(libraryDigest("digestmod"), "library digest");
  EXPECT_EQ(moduleVersionField("digestmod", "Install"), "");
  EXPECT_EQ(moduleVersionField("digestmod", "description"), "");
  // A scalar "latest" is looked up by its text.
  EXPECT_EQ(latestVersion("numberlatest"), "2");
  EXPECT_EQ(installUrl("numberlatest"), "https://127.0.0.1:9/two.7z");
  EXPECT_EQ(latestVersion("boollatest"), "true");
  EXPECT_EQ(installUrl("boollatest"), "https://127.0.0.1:9/true.7z");
}

TEST_F(ModuleCatalogueTest, WithoutAUsableVersionEntryEveryFieldIsEmpty) {
  // An empty "latest" must not select the version entry named "".
  const struct {
    const char* name;
    const char* latest;
  } cases[] = {
      {"stalelatest", "1.2.3"}, {"emptylatest", ""},    {"nolatest", ""},
      {"nulllatest", ""},       {"objectlatest", ""},   {"ghost", ""},
      {"textmodule", ""},       {"versionsarray", "1"}, {"entryarray", "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(latestVersion(c.name), c.latest);
    EXPECT_EQ(installUrl(c.name), "");
    EXPECT_EQ(packageSize(c.name), 0);
    EXPECT_EQ(packageDigest(c.name), "");
    EXPECT_EQ(libraryDigest(c.name), "");
  }
}

TEST_F(ModuleCatalogueTest, SizeIsConvertedLikeStrtolAndClamped) {
  const struct {
    const char* name;
    std::int32_t size;
  } cases[] = {
      {"sizetext", 1048576}, {"sizejunk", 12},
      {"sizespaced", 42},    {"sizeletters", 0},
      {"sizeempty", 0},      {"sizeabsent", 0},
      {"sizereal", 1500},    {"sizehuge", 2147483647},
      {"sizeobject", 0},     {"sizehugenegative", -2147483647 - 1},
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

}  // namespace
