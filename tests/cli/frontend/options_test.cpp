// Option values, option arguments and JSON input.
#include "frontend/options.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#include "entry/settings.h"

using namespace quillore;

namespace {

OptionKind kindOf(const char* schema) { return OptionKind(json::parse(schema)); }

struct ValueCase {
  const char* text;
  const char* kind;
  const char* expected;  // JSON text of the value, or the error message
  bool accepted;
};

void checkValues(const std::vector<ValueCase>& cases) {
  for (const auto& c : cases) {
    Checked checked = checkOptionValue(c.text, kindOf(c.kind), "--opt");
    if (c.accepted) {
      ASSERT_TRUE(checked.value.has_value()) << c.text << " " << c.kind << ": " << checked.error;
      json expected = json::parse(c.expected);
      EXPECT_EQ(*checked.value, expected) << c.text;
      EXPECT_EQ(checked.value->is_number_float(), expected.is_number_float()) << c.text;
      EXPECT_EQ(checked.value->is_number_integer(), expected.is_number_integer()) << c.text;
    } else {
      EXPECT_FALSE(checked.value.has_value()) << c.text;
      EXPECT_EQ(checked.error, c.expected) << c.text;
    }
  }
}

const char* const integer = R"({"type":"integer"})";
const char* const number = R"({"type":"number"})";
const char* const boolean = R"({"type":"boolean"})";

}  // namespace

TEST(OptionValue, Integers) {
  checkValues({
      {"7", integer, "7", true},
      {"+5", integer, "5", true},
      {"-5", integer, "-5", true},
      {"007", integer, "7", true},
      {"9223372036854775807", integer, "9223372036854775807", true},
      {"-9223372036854775808", integer, "-9223372036854775808", true},
      {"9223372036854775808", integer, "--opt takes a whole number, not 9223372036854775808", false},
      {"-9223372036854775809", integer, "--opt takes a whole number, not -9223372036854775809", false},
      {"99999999999999999999", integer, "--opt takes a whole number, not 99999999999999999999", false},
      {"5.0", integer, "--opt takes a whole number, not 5.0", false},
      {" 5", integer, "--opt takes a whole number, not  5", false},
      {"5 ", integer, "--opt takes a whole number, not 5 ", false},
      {"0x10", integer, "--opt takes a whole number, not 0x10", false},
      {"1e3", integer, "--opt takes a whole number, not 1e3", false},
      {"", integer, "--opt takes a whole number, not ", false},
      {"-", integer, "--opt takes a whole number, not -", false},
      {"+-1", integer, "--opt takes a whole number, not +-1", false},
      {"\u0661", integer, "--opt takes a whole number, not \u0661", false},  // Arabic-Indic digit one
  });
}

TEST(OptionValue, NumbersAsTheCLocaleReadsThem) {
  checkValues({
      {"1", number, "1.0", true},
      {"-2.5", number, "-2.5", true},
      {"1e3", number, "1000.0", true},
      {"0x10", number, "16.0", true},
      {"0x1p3", number, "8.0", true},
      {".5", number, "0.5", true},
      {"+.5e-1", number, "0.05", true},
      {"1e-400", number, "0.0", true},  // underflows to zero, still a number
      {" 1", number, "--opt takes a number, not  1", false},
      {"\t1", number, "--opt takes a number, not \t1", false},
      {"1 ", number, "--opt takes a number, not 1 ", false},
      {"", number, "--opt takes a number, not ", false},
      {"1,5", number, "--opt takes a number, not 1,5", false},
      {"1e", number, "--opt takes a number, not 1e", false},
      // JSON has no form for these.
      {"inf", number, "--opt takes a number, not inf", false},
      {"-Infinity", number, "--opt takes a number, not -Infinity", false},
      {"nan", number, "--opt takes a number, not nan", false},
      {"NAN(123)", number, "--opt takes a number, not NAN(123)", false},
      {"1e999", number, "--opt takes a number, not 1e999", false},
      {"-0x1p99999", number, "--opt takes a number, not -0x1p99999", false},
  });
}

// A locale whose decimal separator is a comma: an installed one, else one compiled
// into a temporary directory when localedef is at hand.
const char* commaLocale() {
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
    if (const char* chosen = std::setlocale(LC_ALL, name)) return chosen;
  }
  std::string dir = ::testing::TempDir() + "quillore-locales";
  std::string command =
      "mkdir -p '" + dir + "' && localedef -i de_DE -f UTF-8 '" + dir + "/de_DE.UTF-8' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return nullptr;
  setenv("LOCPATH", dir.c_str(), 1);
  return std::setlocale(LC_ALL, "de_DE.UTF-8");
}

TEST(OptionValue, NumbersIgnoreTheUserLocale) {
  if (!commaLocale()) GTEST_SKIP() << "no locale with a decimal comma";
  ASSERT_STREQ(std::localeconv()->decimal_point, ",");
  checkValues({
      {"2.5", number, "2.5", true},
      {"2,5", number, "--opt takes a number, not 2,5", false},
  });
  std::setlocale(LC_ALL, "C");
}

TEST(OptionValue, BooleansTextsAndNestedInput) {
  checkValues({
      {"true", boolean, "true", true},
      {"false", boolean, "false", true},
      {"True", boolean, "--opt takes true or false, not True", false},
      {"1", boolean, "--opt takes true or false, not 1", false},
      {"", boolean, "--opt takes true or false, not ", false},
      {"", R"({"type":"string"})", R"("")", true},
      {"-x --y", R"({"type":"string"})", R"("-x --y")", true},
      {"a", R"({"type":"array","items":{"type":"string"}})", R"("a")", true},
      {"{}", R"({"type":"object"})", "--opt is nested input; pass it in --json", false},
  });
}

TEST(OptionValue, ChoicesKeepTheEnumValueType) {
  const char* numbers = R"({"enum":[1,2]})";
  const char* mixed = R"({"enum":["fast",4,true,null,1.5]})";
  checkValues({
      {"2", numbers, "2", true},
      {"3", numbers, "--opt takes one of 1, 2, not 3", false},
      {"fast", mixed, R"("fast")", true},
      {"4", mixed, "4", true},
      {"true", mixed, "true", true},
      {"null", mixed, "null", true},
      {"1.5", mixed, "1.5", true},
      {"Fast", mixed, "--opt takes one of fast, 4, true, null, 1.5, not Fast", false},
      {"x", R"({"enum":[]})", "--opt takes one of , not x", false},
  });
}

namespace {

// A tool with one property of every kind.
Tool sampleTool() {
  return Tool{"render_preview", "Render", "", json::parse(R"({
    "properties": {
      "photoId": {"type": "string"},
      "photo_ref": {"type": "string"},
      "size": {"type": "string"},
      "maxWidthPx": {"type": "integer"},
      "exposure": {"type": "number"},
      "hdr": {"type": "boolean"},
      "useHdr": {"type": "boolean"},
      "noCache": {"type": "boolean"},
      "tags": {"type": "array", "items": {"type": "string"}},
      "quality": {"enum": ["fast", "full", 3]},
      "variants": {"type": "array"},
      "Zoom": {"type": "number"}
    },
    "required": ["photoId"]
  })")};
}

json parsed(std::vector<std::string> arguments, const Tool& tool = sampleTool()) {
  Checked checked = checkOptions(arguments, tool);
  EXPECT_TRUE(checked.value.has_value()) << checked.error;
  return checked.value.value_or(json());
}

std::string rejected(std::vector<std::string> arguments, const Tool& tool = sampleTool()) {
  Checked checked = checkOptions(arguments, tool);
  EXPECT_FALSE(checked.value.has_value()) << checked.value.value_or(json()).dump();
  return checked.error;
}

const std::string sampleOptions =
    ". Its options: ---zoom, --exposure, --hdr, --max-width-px, --no-cache, --photo-id, --photo_ref, "
    "--quality, --size, --tags, --use-hdr, --variants. Run `";

}  // namespace

TEST(ParseOptions, OptionNamesReachTheirKeys) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{}, R"({})"},
      {{"--photoId", "7"}, R"({"photoId":"7"})"},
      {{"--photo-id", "7"}, R"({"photoId":"7"})"},
      {{"--photo-id=7"}, R"({"photoId":"7"})"},
      {{"--photo_ref", "r"}, R"({"photo_ref":"r"})"},
      {{"--size=1=2"}, R"({"size":"1=2"})"},
      {{"--size="}, R"({"size":""})"},
      {{"--photo-id", "--size"}, R"({"photoId":"--size"})"},
      {{"--max-width-px", "800", "--exposure", "-1.5"}, R"({"maxWidthPx":800,"exposure":-1.5})"},
      {{"--tags", "a", "--tags=b", "--tags", "c"}, R"({"tags":["a","b","c"]})"},
      {{"--tags", "a"}, R"({"tags":["a"]})"},
      {{"--size", "a", "--size", "b"}, R"({"size":"b"})"},
      {{"--quality", "3"}, R"({"quality":3})"},
      {{"---zoom", "2"}, R"({"Zoom":2.0})"},
      {{"--Zoom", "2"}, R"({"Zoom":2.0})"},
  };
  for (const auto& [arguments, expected] : cases) EXPECT_EQ(parsed(arguments), json::parse(expected)) << expected;
}

TEST(ParseOptions, Flags) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"--hdr"}, R"({"hdr":true})"},
      {{"--hdr", "false"}, R"({"hdr":false})"},
      {{"--hdr", "true", "--size", "s"}, R"({"hdr":true,"size":"s"})"},
      {{"--hdr", "--size", "s"}, R"({"hdr":true,"size":"s"})"},
      {{"--hdr=false"}, R"({"hdr":false})"},
      {{"--no-hdr"}, R"({"hdr":false})"},
      {{"--no-hdr=true"}, R"({"hdr":false})"},
      {{"--no-use-hdr"}, R"({"useHdr":false})"},
      {{"--no-useHdr"}, R"({"useHdr":false})"},
      {{"--no-cache"}, R"({"noCache":true})"},  // the key's own option wins over negation
      {{"--no-cache", "false"}, R"({"noCache":false})"},
  };
  for (const auto& [arguments, expected] : cases) EXPECT_EQ(parsed(arguments), json::parse(expected)) << expected;
  // A negated flag takes no value: the "true" after it is read as an option.
  EXPECT_EQ(rejected({"--no-hdr", "true"}),
            "render_preview has no option true" + sampleOptions + invokedAs() + " help render_preview`.");
}

TEST(ParseOptions, ErrorsInTheirOrder) {
  const std::string help = invokedAs() + " help render_preview`.";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--bogus", "1"}, "render_preview has no option --bogus" + sampleOptions + help},
      {{"--bogus=1"}, "render_preview has no option --bogus" + sampleOptions + help},
      {{"photo-id", "1"}, "render_preview has no option photo-id" + sampleOptions + help},
      {{"--hdr", "no"}, "render_preview has no option no" + sampleOptions + help},
      {{"--no-size"}, "render_preview has no option --no-size" + sampleOptions + help},
      {{"--no-size=x"}, "render_preview has no option --no-size" + sampleOptions + help},
      {{"--size"}, "--size needs a value"},
      {{"--photoId"}, "--photoId needs a value"},
      {{"--variants"}, "--variants needs a value"},
      {{"--variants", "[]"}, "--variants is nested input; pass it in --json"},
      {{"--variants=[]"}, "--variants is nested input; pass it in --json"},
      {{"--hdr=1"}, "--hdr takes true or false, not 1"},
      {{"--max-width-px", "wide"}, "--max-width-px takes a whole number, not wide"},
      {{"--maxWidthPx=1.5"}, "--maxWidthPx takes a whole number, not 1.5"},
      {{"--exposure", "nan"}, "--exposure takes a number, not nan"},
      {{"--quality", "slow"}, "--quality takes one of fast, full, 3, not slow"},
      // The first bad argument is reported.
      {{"--max-width-px", "x", "--bogus"}, "--max-width-px takes a whole number, not x"},
      {{"--bogus", "--max-width-px", "x"}, "render_preview has no option --bogus" + sampleOptions + help},
  };
  for (const auto& [arguments, expected] : cases) EXPECT_EQ(rejected(arguments), expected) << arguments[0];
}

TEST(ParseOptions, ToolWithoutProperties) {
  Tool bare{"list_photos", "", "", json::object()};
  EXPECT_EQ(parsed({}, bare), json::object());
  EXPECT_EQ(rejected({"--limit", "3"}, bare),
            "list_photos has no option --limit. Its options: none. Run `" + invokedAs() + " help list_photos`.");
  // One malformed property takes every option away.
  Tool broken{"t", "", "", json::parse(R"({"properties":{"a":{"type":"string"},"b":true}})")};
  EXPECT_EQ(rejected({"--a", "1"}, broken),
            "t has no option --a. Its options: none. Run `" + invokedAs() + " help t`.");
}

TEST(ParseOptions, OptionListIsInCodePointOrder) {
  Tool tool{"t", "", "", json::parse(R"({"properties":{"\u00e9t\u00e9":{},"zed":{},"Beta":{},"alpha":{}}})")};
  EXPECT_EQ(
      rejected({"--x"}, tool),
      "t has no option --x. Its options: ---beta, --alpha, --zed, --\u00e9t\u00e9. Run `" + invokedAs() + " help t`.");
}

TEST(JsonObject, OnlyObjectsAreAccepted) {
  EXPECT_EQ(*checkJsonObject(R"({"a":[1,{"b":null}]})").value, json::parse(R"({"a":[1,{"b":null}]})"));
  EXPECT_EQ(*checkJsonObject(" {} \n").value, json::object());
  for (const char* text : {"", "[]", "[{}]", "\"{}\"", "1", "true", "null", "{", "{} {}", "{'a':1}"}) {
    Checked checked = checkJsonObject(text);
    EXPECT_FALSE(checked.value.has_value()) << text;
    EXPECT_EQ(checked.error, "--json takes a JSON object");
  }
}
