// writeJsonText and parseJsonText: the launcher's fixed JSON text settings.
#include "bridge/json_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string nestedArrays(int depth) {
  return std::string(static_cast<std::size_t>(depth), '[') +
         std::string(static_cast<std::size_t>(depth), ']');
}

// depth objects, the innermost holding one number: depth + 1 nested values.
std::string nestedObjects(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "{\"a\":";
  text += "1";
  text += std::string(static_cast<std::size_t>(depth), '}');
  return text;
}

TEST(JsonTextWriteTest, InitmcReplyIsExactly21Characters) {
  Json::Value reply(Json::objectValue);
  reply["act"] = "INITMC";
  const std::string text = writeJsonText(reply);
  EXPECT_EQ(text, "{\n\t\"act\" : \"INITMC\"\n}");
  EXPECT_EQ(text.size(), 21u);
}

TEST(JsonTextWriteTest, NestedMembersStartOnTheirOwnLineInKeyOrder) {
  Json::Value value(Json::objectValue);
  value["b"]["c"] = 1;
  value["b"]["a"].append(true);
  value["b"]["a"].append(Json::Value());
  value["a"] = "x";
  value["e"] = Json::Value(Json::objectValue);
  value["f"] = Json::Value(Json::arrayValue);
  EXPECT_EQ(writeJsonText(value),
            "{\n"
            "\t\"a\" : \"x\",\n"
            "\t\"b\" : \n"
            "\t{\n"
            "\t\t\"a\" : \n"
            "\t\t[\n"
            "\t\t\ttrue,\n"
            "\t\t\tnull\n"
            "\t\t],\n"
            "\t\t\"c\" : 1\n"
            "\t},\n"
            "\t\"e\" : {},\n"
            "\t\"f\" : []\n"
            "}");
}

TEST(JsonTextWriteTest, KeysAreOrderedByteWiseAndStringsEscaped) {
  Json::Value value(Json::objectValue);
  value["alpha"] = 1;
  value["Beta"] = 2;
  value["s"] = "\x01\xc3\xa9\"\\";
  EXPECT_EQ(writeJsonText(value),
            "{\n\t\"Beta\" : 2,\n\t\"alpha\" : 1,\n"
            "\t\"s\" : \"\\u0001\\u00e9\\\"\\\\\"\n}");
}

TEST(JsonTextWriteTest, ScalarsAreWrittenBare) {
  EXPECT_EQ(writeJsonText(Json::Value()), "null");
  EXPECT_EQ(writeJsonText(Json::Value("abc")), "\"abc\"");
  EXPECT_EQ(writeJsonText(Json::Value(7)), "7");
}

TEST(JsonTextParseTest, AcceptsObjectAndArrayRoots) {
  Json::Value value;
  ASSERT_TRUE(parseJsonText(std::string("{\"a\": [1, {\"b\": null}]}"), value));
  EXPECT_TRUE(value.isObject());
  EXPECT_TRUE(value["a"][1]["b"].isNull());
  ASSERT_TRUE(parseJsonText(std::string("[1, \"two\", 3.5]"), value));
  ASSERT_TRUE(value.isArray());
  EXPECT_EQ(value.size(), 3u);
  EXPECT_EQ(value[1].asString(), "two");
}

TEST(JsonTextParseTest, RejectsCommentsDuplicatesTrailingTextAndScalarRoots) {
  const char* rejected[] = {
      "{\"a\": 1 /* comment */}",
      "// comment\n{\"a\": 1}",
      "{\"a\": 1, \"a\": 1}",
      "{\"a\": 1}x",
      "{\"a\": 1}{}",
      "[1] 2",
      "1",
      "\"abc\"",
      "null",
      "true",
      "{'a': 1}",
      "",
  };
  for (const char* text : rejected) {
    Json::Value value;
    EXPECT_FALSE(parseJsonText(std::string(text), value)) << text;
  }
}

TEST(JsonTextParseTest, AFailedParseLeavesTheValueAlone) {
  Json::Value value("kept");
  EXPECT_FALSE(parseJsonText(std::string("{\"a\": 1, \"a\": 2}"), value));
  EXPECT_EQ(value.asString(), "kept");
}

TEST(JsonTextParseTest, NestingLimitIsAThousandValues) {
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

TEST(JsonTextParseTest, ReadsExactlyTheGivenBytes) {
  const std::string text = "{\"a\": \"b\\u0000c\"}";
  Json::Value value;
  ASSERT_TRUE(parseJsonText(text.data(), text.size(), value));
  EXPECT_EQ(value["a"].asString(), std::string("b\0c", 3));
  // A NUL byte inside the given length is part of the text, not its end.
  const std::string withNul("{}\0", 3);
  EXPECT_FALSE(parseJsonText(withNul.data(), withNul.size(), value));
  EXPECT_TRUE(parseJsonText(withNul.data(), 2, value));
}

TEST(JsonTextScalarTest, ScalarTextsAreJsonCppsAsString) {
  std::string text;
  EXPECT_TRUE(jsonScalarText(Json::Value("echo"), text));
  EXPECT_EQ(text, "echo");
  EXPECT_TRUE(jsonScalarText(Json::Value(5), text));
  EXPECT_EQ(text, "5");
  EXPECT_TRUE(jsonScalarText(Json::Value(true), text));
  EXPECT_EQ(text, "true");
  EXPECT_FALSE(jsonScalarText(Json::Value(Json::arrayValue), text));
  EXPECT_FALSE(jsonScalarText(Json::Value(Json::objectValue), text));
}

}  // namespace
