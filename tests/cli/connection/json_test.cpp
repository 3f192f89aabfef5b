#include "connection/json.h"

#include <gtest/gtest.h>

using namespace quillore;

TEST(ParseObject, OnlyWholeObjectsParse) {
  for (const char* line : {"", "[1,2]", "7", "\"text\"", "true", "null", "{\"a\":1", "{\"a\":1} x", "{} {}"})
    EXPECT_FALSE(parseObject(line).has_value()) << line;
  auto spaced = parseObject(" {\"a\": 1}  \r");
  ASSERT_TRUE(spaced.has_value());
  EXPECT_EQ((*spaced)["a"], 1);
}

TEST(ParseObject, KeepsIntegersApartFromFractionsAndNullApartFromAbsent) {
  auto object = parseObject(R"({"i": 1, "f": 1.0, "n": null, "big": 18446744073709551615})");
  ASSERT_TRUE(object.has_value());
  EXPECT_TRUE((*object)["i"].is_number_integer());
  EXPECT_TRUE((*object)["f"].is_number_float());
  EXPECT_TRUE(object->contains("n"));
  EXPECT_TRUE((*object)["n"].is_null());
  EXPECT_FALSE(object->contains("absent"));
  EXPECT_TRUE((*object)["big"].is_number_integer());
}

TEST(Encode, CompactWithPlainSlashesAndNoLineFeed) {
  EXPECT_EQ(encode(json{{"path", "a/b"}}), R"({"path":"a/b"})");
  EXPECT_EQ(encode(json::object()), "{}");
  std::string multiLine = encode(json{{"text", "one\ntwo"}});
  EXPECT_EQ(multiLine.find('\n'), std::string::npos);
}

TEST(Encode, InvalidUtf8BecomesReplacementCharacter) {
  EXPECT_EQ(encode(json{{"word", std::string("a\xff")}}), "{\"word\":\"a\xEF\xBF\xBD\"}");
}

TEST(IdKey, TellsTypesApartAndIsStable) {
  EXPECT_EQ(idKey(json(7)), "[7]");
  EXPECT_EQ(idKey(json("7")), "[\"7\"]");
  EXPECT_EQ(idKey(json(nullptr)), "[null]");
  EXPECT_NE(idKey(json(1)), idKey(json("1")));
  EXPECT_EQ(idKey((*parseObject(R"({"id":"quillore-replay-1"})"))["id"]),
            idKey((*parseObject(R"({"result":{},"id":"quillore-replay-1"})"))["id"]));
}

TEST(ValidUtf8, ReplacesOnlyBadSequences) {
  EXPECT_EQ(validUtf8("plain → text"), "plain → text");
  EXPECT_EQ(validUtf8("\xC3("), "\xEF\xBF\xBD(");
  EXPECT_EQ(validUtf8(""), "");
}

std::string nested(size_t depth, const std::string& inner = "1") {
  // {"id": [[…[inner]…]]} with `depth` levels in all, the outer object included.
  return "{\"id\":" + std::string(depth - 1, '[') + inner + std::string(depth - 1, ']') + "}";
}

TEST(ParseObject, RefusesNestingDeeperThanTheLimit) {
  auto deepest = parseObject(nested(maxJsonDepth));
  ASSERT_TRUE(deepest.has_value());
  EXPECT_FALSE(idKey((*deepest)["id"]).empty());
  EXPECT_FALSE(parseObject(nested(maxJsonDepth + 1)).has_value());
  // A line this deep would overflow the stack once its id is encoded for a key.
  EXPECT_FALSE(parseObject(nested(1'000'000)).has_value());
}

TEST(ParseObject, BracketsInsideTextsDoNotCountAsNesting) {
  std::string brackets(4 * maxJsonDepth, '[');
  auto object = parseObject("{\"text\":\"" + brackets + "\\\"" + brackets + "\"}");
  ASSERT_TRUE(object.has_value());
  EXPECT_EQ((*object)["text"], brackets + "\"" + brackets);
  EXPECT_TRUE(parseObject(nested(maxJsonDepth, "\"]]]]\\\\\"")).has_value())
      << "an escaped backslash ends before the quote";
}

TEST(ParseObject, RefusesNulBytes) {
  // The library would stop reading at a NUL and take what came before.
  for (std::string line : {std::string("{}\0", 3), std::string("{\"a\":1}\0 trailing", 17), std::string("\0{}", 3),
                           std::string("{\"a\":\"x\0y\"}", 11)})
    EXPECT_FALSE(parseObject(line).has_value()) << line.size();
  EXPECT_TRUE(parseObject("{\"a\":\"x\\u0000y\"}").has_value()) << "an escaped NUL is fine";
}
