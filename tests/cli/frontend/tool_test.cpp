// Tool descriptions, option names and option kinds.
#include "frontend/tool.h"

#include <gtest/gtest.h>

using namespace quillore;

TEST(Kebab, OneHyphenAndTheLowerCaseFormPerUpperCaseCharacter) {
  const std::pair<const char*, const char*> cases[] = {
      {"photoId", "photo-id"},
      {"maxWidthPx", "max-width-px"},
      {"useHDR", "use-h-d-r"},
      {"URL", "-u-r-l"},
      {"photo_id", "photo_id"},
      {"x2Y", "x2-y"},
      {"quality", "quality"},
      {"", ""},
      {"a-b", "a-b"},
      // Non-ASCII capitals, lower-cased with the full mapping.
      {"\u00c9t\u00e9Mode", "-\u00e9t\u00e9-mode"},                           // ÉtéMode
      {"size\u0130", "size-i\u0307"},                                         // İ lower-cases to i + combining dot
      {"\u03a3\u03b9\u03b3\u03bc\u03b1", "-\u03c3\u03b9\u03b3\u03bc\u03b1"},  // Σιγμα: Σ alone is σ
      // A capital with a combining mark is one character: one hyphen, mark kept.
      {"stepE\u0301tat", "step-e\u0301tat"},
      // Title-case digraph ǅ: upper-cases to Ǆ, so it is not upper case; Ǆ is.
      {"a\u01c5", "a\u01c5"},
      {"a\u01c4", "a-\u01c6"},
      // Letters without case and symbols are copied.
      {"\u65e5\u672cKey", "\u65e5\u672c-key"},
      {"\u2160x", "-\u2170x"},  // Roman numeral one has the Uppercase property
  };
  for (const auto& [key, expected] : cases) EXPECT_EQ(kebab(key), expected) << key;
}

namespace {

json schemaOf(const char* text) { return json::parse(text); }

}  // namespace

TEST(OptionKindTest, FromPropertySchemas) {
  struct Case {
    const char* schema;
    OptionKind::Case kind;
  };
  const Case cases[] = {
      {R"({"type":"string"})", OptionKind::Case::string},
      {R"({"type":"integer","minimum":1})", OptionKind::Case::integer},
      {R"({"type":"number"})", OptionKind::Case::number},
      {R"({"type":"boolean","default":true})", OptionKind::Case::boolean},
      {R"({"type":"array","items":{"type":"string"}})", OptionKind::Case::strings},
      {R"({"enum":["a","b"],"type":"integer"})", OptionKind::Case::choice},
      {R"({"enum":[]})", OptionKind::Case::choice},
      {R"({"enum":"a","type":"string"})", OptionKind::Case::string},
      {R"({"type":"array","items":{"type":"integer"}})", OptionKind::Case::jsonOnly},
      {R"({"type":"array"})", OptionKind::Case::jsonOnly},
      {R"({"type":"array","items":[{"type":"string"}]})", OptionKind::Case::jsonOnly},
      {R"({"type":"array","items":{"type":["string"]}})", OptionKind::Case::jsonOnly},
      {R"({"type":["string","null"]})", OptionKind::Case::jsonOnly},
      {R"({"type":"String"})", OptionKind::Case::jsonOnly},
      {R"({"type":"object","properties":{}})", OptionKind::Case::jsonOnly},
      {R"({"type":"null"})", OptionKind::Case::jsonOnly},
      {R"({"anyOf":[{"type":"string"}]})", OptionKind::Case::jsonOnly},
      {R"({})", OptionKind::Case::jsonOnly},
  };
  for (const auto& c : cases) EXPECT_EQ(OptionKind(schemaOf(c.schema)).kind(), c.kind) << c.schema;
  EXPECT_EQ(OptionKind(schemaOf(R"({"enum":["a",2,null]})")).choices(), json::parse(R"(["a",2,null])"));
}

TEST(OptionKindTest, NamesAndPlaceholders) {
  struct Case {
    const char* schema;
    const char* name;
    const char* placeholder;
  };
  const Case cases[] = {
      {R"({"enum":["fast","full"]})", "choice", "<fast|full>"},
      {R"({"enum":[1,2,4]})", "choice", "<1|2|4>"},
      {R"({"enum":[]})", "choice", "<>"},
      {R"({"enum":[1.5,true,null,"a b"]})", "choice", "<1.5|true|null|a b>"},
      {R"({"type":"string"})", "string", "<string>"},
      {R"({"type":"integer"})", "integer", "<integer>"},
      {R"({"type":"number"})", "number", "<number>"},
      {R"({"type":"boolean"})", "boolean", ""},
      {R"({"type":"array","items":{"type":"string"}})", "list of strings", "<string> (repeat for more)"},
      {R"({"type":"object"})", "json", "(in --json)"},
  };
  for (const auto& c : cases) {
    OptionKind kind(schemaOf(c.schema));
    EXPECT_EQ(kind.name(), c.name) << c.schema;
    EXPECT_EQ(kind.placeholder(), c.placeholder) << c.schema;
  }
}

TEST(ToolTest, PropertiesAreAllOrNothing) {
  Tool tool{"t", "", "", schemaOf(R"({"properties":{"a":{"type":"string"},"b":{}}})")};
  EXPECT_EQ(tool.properties().size(), 2u);

  for (const char* schema :
       {R"({})", R"({"properties":[]})", R"({"properties":{"a":{},"b":"string"}})", R"({"properties":{"a":null}})"}) {
    Tool broken{"t", "", "", schemaOf(schema)};
    EXPECT_TRUE(broken.properties().empty()) << schema;
  }
}

TEST(ToolTest, RequiredIsAllOrNothing) {
  Tool tool{"t", "", "", schemaOf(R"({"required":["a","ghost"]})")};
  EXPECT_EQ(tool.required(), (std::vector<std::string>{"a", "ghost"}));
  EXPECT_TRUE(tool.isRequired("a"));
  EXPECT_FALSE(tool.isRequired("b"));
  for (const char* schema : {R"({})", R"({"required":"a"})", R"({"required":["a",1]})"}) {
    Tool broken{"t", "", "", schemaOf(schema)};
    EXPECT_TRUE(broken.required().empty()) << schema;
  }
}
