// The signed catalogue's stamp and the accepted-serial record.
#include "catalogue/catalogue_freshness.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "bridge/json_text.h"

namespace {

namespace fs = std::filesystem;

bool stampOf(const std::string& text, CatalogueStamp& stamp) {
  Json::Value document;
  EXPECT_TRUE(parseJsonText(text.data(), text.size(), document)) << text;
  return readCatalogueStamp(document, stamp);
}

TEST(CatalogueStamp, IsTwoIntegersAndCurrentUntilItExpires) {
  CatalogueStamp stamp{};
  ASSERT_TRUE(stampOf(R"({"m": {}, "issued": 7, "expires": 1000})", stamp));
  EXPECT_EQ(stamp.issued, 7);
  EXPECT_EQ(stamp.expires, 1000);
  EXPECT_TRUE(isCurrentCatalogue(stamp, 999, 6));
  EXPECT_TRUE(isCurrentCatalogue(stamp, 999, 7));  // the same one again
  EXPECT_FALSE(isCurrentCatalogue(stamp, 999, 8));
  EXPECT_FALSE(isCurrentCatalogue(stamp, 1000, 0));

  for (const char* text : {R"({"issued": 7})", R"({"expires": 1000})",
                           R"({"issued": "7", "expires": 1000})",
                           R"({"issued": 7.0, "expires": 1000})",
                           R"({"issued": 7, "expires": 1e3})",
                           R"({"issued": -1, "expires": 1000})",
                           R"({"issued": true, "expires": 1000})",
                           R"({"issued": null, "expires": 1000})",
                           R"({"issued": 7, "expires": 9223372036854775808})",
                           R"([{"issued": 7, "expires": 1000}])"})
    EXPECT_FALSE(stampOf(text, stamp)) << text;
}

class AcceptedSerial : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (fs::temp_directory_path() / "serial-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    path_ = acceptedSerialPath((directory_ / "modules").string());
  }
  void TearDown() override { fs::remove_all(directory_); }

  std::string contents() const {
    std::ifstream stream(path_, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
  }

  fs::path directory_;
  std::string path_;
};

TEST_F(AcceptedSerial, IsKeptBesideModulesAndAMissingOrDamagedOneIsNone) {
  EXPECT_EQ(path_, (directory_ / "catalogue-issued").string());
  EXPECT_EQ(acceptedSerialPath("modules"), "");
  EXPECT_EQ(readAcceptedSerial(path_), 0);

  ASSERT_TRUE(recordAcceptedSerial(path_, 42));
  EXPECT_EQ(contents(), "42\n");
  EXPECT_EQ(readAcceptedSerial(path_), 42);
  ASSERT_TRUE(recordAcceptedSerial(path_, INT64_MAX));
  EXPECT_EQ(readAcceptedSerial(path_), INT64_MAX);
  EXPECT_FALSE(fs::exists(path_ + ".new"));

  for (const char* damaged :
       {"", "\n", "42", "42\n\n", " 42\n", "-1\n", "4x\n", "42\r\n",
        "9223372036854775808\n", "000000000000000000000000042\n"}) {
    std::ofstream(path_, std::ios::binary) << damaged;
    EXPECT_EQ(readAcceptedSerial(path_), 0) << '"' << damaged << '"';
  }
}

}  // namespace
