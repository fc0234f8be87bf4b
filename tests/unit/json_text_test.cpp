// writeJsonText and parseJsonText: the launcher's fixed JSON text settings.
// Every strict-reading refusal lives here; the catalogue and the bridge only
// show, end to end, that they read through parseJsonText.
#include "bridge/json_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string nestedArrays(int depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

// depth objects, the innermost holding one number: depth + 1 nested values.
std::string nestedObjects(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "{\"a\":";
  return text + "1" + std::string(depth, '}');
}

TEST(JsonTextTest, WritesTabsKeyOrderAndEscapes) {
  Json::Value value(Json::objectValue);
  value["act"] = "INITMC";
  value["b"]["c"] = 1;
  value["b"]["a"].append(true);
  value["b"]["a"].append(Json::Value());
  value["Beta"] = Json::Value(Json::objectValue);
  value["f"] = Json::Value(Json::arrayValue);
  value["s"] = "\x01\xc3\xa9\"\\";
  EXPECT_EQ(writeJsonText(value),
            "{\n"
            "\t\"Beta\" : {},\n"
            "\t\"act\" : \"INITMC\",\n"
            "\t\"b\" : \n"
            "\t{\n"
            "\t\t\"a\" : \n"
            "\t\t[\n"
            "\t\t\ttrue,\n"
            "\t\t\tnull\n"
            "\t\t],\n"
            "\t\t\"c\" : 1\n"
            "\t},\n"
            "\t\"f\" : [],\n"
            "\t\"s\" : \"\\u0001\\u00e9\\\"\\\\\"\n"
            "}");
  EXPECT_EQ(writeJsonText(Json::Value()), "null");
  EXPECT_EQ(writeJsonText(Json::Value("abc")), "\"abc\"");
  EXPECT_EQ(writeJsonText(Json::Value(7)), "7");
}

TEST(JsonTextTest, AcceptsObjectAndArrayRoots) {
  Json::Value value;
  ASSERT_TRUE(parseJsonText(std::string("{\"a\": [1, {\"b\": null}]}"), value));
  EXPECT_TRUE(value["a"][1]["b"].isNull());
  ASSERT_TRUE(parseJsonText(std::string("[1, \"two\", 3.5]"), value));
  EXPECT_EQ(value[1].asString(), "two");
}

TEST(JsonTextTest, RefusesEverythingLenient) {
  for (const char* text : {
           "{\"a\": 1 /* comment */}",
           "[1 // comment\n]",
           "// c\n{\"a\": 1}",
           "{\"a\": 1, \"a\": 1}",
           "{\"a\": 1}x",
           "{\"a\": 1}{}",
           "[1] 2",
           "1",
           "\"abc\"",
           "null",
           "true",
           "",
           "   ",
           "{'a': 1}",
           "{\"a\": 1,}",
           "[1, 2,]",
           "[1,,2]",
           "\xEF\xBB\xBF{}",
           "{\"a\": NaN}",
           "{\"a\": -Infinity}",
       }) {
    Json::Value value;
    EXPECT_FALSE(parseJsonText(std::string(text), value)) << text;
  }
}

TEST(JsonTextTest, NestingLimitIsAThousandValues) {
  // JsonCpp 1.9.5's stackLimit counts nested values: 1000 levels of arrays
  // (the innermost empty) pass, 1001 do not. 999 objects around a number
  // are 1000 values and pass; 1000 objects around a number are 1001.
  Json::Value value;
  EXPECT_TRUE(parseJsonText(nestedArrays(1000), value));
  EXPECT_FALSE(parseJsonText(nestedArrays(1001), value));
  EXPECT_TRUE(parseJsonText(nestedObjects(999), value));
  EXPECT_FALSE(parseJsonText(nestedObjects(1000), value));
  // Far beyond: an exception inside the reader, reported as a failure.
  EXPECT_FALSE(parseJsonText(nestedArrays(200000), value));
}

TEST(JsonTextTest, ReadsExactlyTheGivenBytes) {
  const std::string text = "{\"a\": \"b\\u0000c\"}";
  Json::Value value;
  ASSERT_TRUE(parseJsonText(text.data(), text.size(), value));
  EXPECT_EQ(value["a"].asString(), std::string("b\0c", 3));
  // A NUL byte inside the given length is part of the text, not its end.
  const std::string withNul("{}\0", 3);
  EXPECT_FALSE(parseJsonText(withNul.data(), withNul.size(), value));
  EXPECT_TRUE(parseJsonText(withNul.data(), 2, value));
}

}  // namespace
