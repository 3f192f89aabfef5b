#include "relay/classify.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "connection/json.h"

namespace quillore {
namespace {

// What the JSON library makes of the same line, in the classifier's terms.
LineShape reference(const std::string& line) {
  LineShape shape;
  auto object = parseObject(line);
  if (!object) return shape;
  shape.object = true;
  if (auto method = object->find("method"); method != object->end()) {
    shape.hasMethod = true;
    if (method->is_string()) {
      shape.method = method->get<std::string>();
    }
  }
  if (auto id = object->find("id"); id != object->end()) shape.id = *id;
  return shape;
}

void expectSameAsLibrary(const std::string& line) {
  LineShape fast = classify(line);
  LineShape slow = reference(line);
  ASSERT_EQ(fast.object, slow.object) << "line: " << line;
  EXPECT_EQ(fast.hasMethod, slow.hasMethod) << "line: " << line;
  EXPECT_EQ(fast.method, slow.method) << "line: " << line;
  ASSERT_EQ(fast.id.has_value(), slow.id.has_value()) << "line: " << line;
  if (fast.id) {
    EXPECT_EQ(idKey(*fast.id), idKey(*slow.id)) << "line: " << line;
  }
}

// Lines the JSON library accepts and refuses for reasons that are easy to get wrong.
const std::vector<std::string> tricky = {
    "",
    " ",
    "{}",
    " \t\r\n{ } \r",
    "{}x",
    "{},",
    "[]",
    "[{\"id\":1}]",
    "7",
    "\"text\"",
    "null",
    "{\"id\":1",
    "{\"id\":1,}",
    "{\"id\" 1}",
    "{'id':1}",
    "{\"id\":01}",
    "{\"id\":-0}",
    "{\"id\":-}",
    "{\"id\":1.}",
    "{\"id\":.5}",
    "{\"id\":+1}",
    "{\"id\":1e}",
    "{\"id\":1E+2}",
    "{\"id\":1e-400}",
    "{\"id\":1e400}",
    "{\"id\":-1e309}",
    "{\"id\":123456789012345678901234567890}",
    "{\"id\":18446744073709551615}",
    "{\"id\":18446744073709551616}",
    "{\"id\":-9223372036854775809}",
    "{\"id\":" + std::string(400, '9') + "}",
    "{\"id\":1.0}",
    "{\"id\":true}",
    "{\"id\":tru}",
    "{\"id\":nul}",
    "{\"id\":nullx}",
    "{\"id\":null}",
    "{\"id\":\"a\\u0000b\"}",
    "{\"id\":\"\\ud83d\\ude00\"}",
    "{\"id\":\"\\ud83d\"}",
    "{\"id\":\"\\ude00\"}",
    "{\"id\":\"\\ud83dx\"}",
    "{\"id\":\"\\ud83d\\u0041\"}",
    "{\"id\":\"\\uZZZZ\"}",
    "{\"id\":\"\\x\"}",
    "{\"id\":\"a\tb\"}",
    "{\"id\":\"a\x7f"
    "b\"}",
    "{\"id\":\"caf\xc3\xa9\"}",
    "{\"id\":\"\xc3\"}",
    "{\"id\":\"\xc0\x80\"}",
    "{\"id\":\"\xe0\x80\x80\"}",
    "{\"id\":\"\xed\xa0\x80\"}",
    "{\"id\":\"\xf4\x90\x80\x80\"}",
    "{\"id\":\"\xf0\x9f\x98\x80\"}",
    "{\"id\":\"\xff\"}",
    "{\"id\":\"a/b\"}",
    "{\"id\":\"unterminated}",
    std::string("{\"id\":\"nul\0byte\"}", 17),
    std::string("{\"id\":1}\0", 9),
    std::string("{\"id\":1}\0trailing", 17),
    std::string("{\"id\":1 \0}", 10),
    std::string("{\"id\":\0}", 8),
    "\xef\xbb\xbf{\"id\":1}",
    "\xef\xbb{\"id\":1}",
    " \xef\xbb\xbf{\"id\":1}",
    "{\"method\":\"tools/call\",\"id\":3,\"params\":{\"a\":[1,2,{\"b\":[]}]}}",
    "{\"method\":5,\"id\":3}",
    "{\"method\":\"x\",\"method\":5}",
    "{\"method\":5,\"method\":\"x\"}",
    "{\"id\":1,\"id\":\"1\"}",
    "{\"\\u0069d\":2,\"\\u006dethod\":\"ping\"}",
    "{\"i\\\"d\":2}",
    "{\"params\":{\"id\":9,\"method\":\"inner\"}}",
    "{\"id\":{\"nested\":[1,{\"x\":null}]}}",
    "{\"a\":[1,2,]}",
    "{\"a\":[,1]}",
    "{\"a\":[1 2]}",
    "{\"a\":{\"b\"}}",
    "{\"a\":{\"b\":}}",
    "{\"a\":[[[[[[[[[[]]]]]]]]]]}",
    "{\"a\":[[[[[[[[[[]]]]]]]]]}",
    "{\"a\":[}",
    "{\"a\":{]}",
    "{\"a\":1}}",
    "{\"a\":1}{\"b\":2}",
    "{\"jsonrpc\":\"2.0\",\"id\":\"quillore-replay-1\",\"result\":{}}",
};

TEST(Classify, AgreesWithTheJsonLibraryOnTrickyLines) {
  for (const auto& line : tricky) expectSameAsLibrary(line);
}

TEST(Classify, TellsRequestsFromReplies) {
  struct Case {
    std::string line;
    bool request;
    bool reply;
  };
  const Case cases[] = {
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})", true, false},
      {R"({"jsonrpc":"2.0","id":"a","method":"tools/list"})", true, false},
      {R"({"jsonrpc":"2.0","id":null,"method":"tools/list"})", false, false},
      {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", false, false},
      {R"({"jsonrpc":"2.0","id":1,"method":7})", false, false},
      {R"({"jsonrpc":"2.0","id":1,"result":{}})", false, true},
      {R"({"jsonrpc":"2.0","id":null,"error":{}})", false, true},
      {R"({"jsonrpc":"2.0","result":{}})", false, false},
      {R"({"jsonrpc":"2.0","id":1,"result":{})", false, false},
      {"not json", false, false},
  };
  for (const auto& c : cases) {
    LineShape shape = classify(c.line);
    EXPECT_EQ(shape.isRequest(), c.request) << c.line;
    EXPECT_EQ(shape.isReply(), c.reply) << c.line;
  }
}

TEST(Classify, ReadsTheIdWhereverItStandsInALargeLine) {
  std::string data(3'000'000, 'A');
  for (size_t i = 0; i < data.size(); i += 77) data[i] = '/';
  std::string line = R"({"jsonrpc":"2.0","result":{"content":[{"type":"image","data":")" + data + R"("}]},"id":42})";
  LineShape shape = classify(line);
  ASSERT_TRUE(shape.object);
  ASSERT_TRUE(shape.id);
  EXPECT_EQ(idKey(*shape.id), "[42]");
  EXPECT_TRUE(shape.isReply());

  line[line.size() / 2] = '\x01';  // a control character deep inside the text
  EXPECT_FALSE(classify(line).object);
}

TEST(Classify, RefusesNestingDeeperThanTheLibraryTakes) {
  auto nested = [](size_t depth, const char* inner) {
    return "{\"id\":1,\"a\":" + std::string(depth - 1, '[') + inner + std::string(depth - 1, ']') + "}";
  };
  for (size_t depth : {maxJsonDepth - 1, maxJsonDepth, maxJsonDepth + 1}) {
    for (const char* inner : {"", "7", "{}"}) expectSameAsLibrary(nested(depth, inner));
  }
  EXPECT_TRUE(classify(nested(maxJsonDepth, "")).object);
  EXPECT_FALSE(classify(nested(maxJsonDepth + 1, "")).object);
  // A depth far beyond costs no native stack either.
  EXPECT_FALSE(classify(nested(2'000'000, "")).object);
}

// Random edits of valid messages: every mutant must be judged exactly as the JSON
// library judges it, and read the same way when it is accepted.
TEST(Classify, AgreesWithTheJsonLibraryOnMutatedMessages) {
  const std::vector<std::string> seeds = {
      R"({"jsonrpc":"2.0","id":12,"method":"tools/call","params":{"name":"render_preview","arguments":{"photoId":"x\/y","n":-1.5e3}}})",
      R"({"jsonrpc":"2.0","id":"s-1","result":{"content":[{"type":"text","text":"caf\u00e9 \ud83d\ude00 \"q\" \\ tab\t"}],"isError":false}})",
      "{\"id\":null,\"error\":{\"code\":-32000,\"message\":\"Settings \xe2\x86\x92 AI agents \xf0\x9f\x98\x80\"}}",
      R"({"method":"notifications/progress","params":{"a":[true,false,null,0,1e-2,[{}]]}})",
  };
  std::string alphabet = "{}[]\":,\\/ u0123456789abcdefABCDEF-+.eE\t\r\ntrueflsn\x01\x7f\xc3\xa9\xed\xa0\xf0\x9f\xff";
  alphabet.push_back('\0');
  std::mt19937 random(20240611);
  for (int round = 0; round < 30'000; ++round) {
    std::string line = seeds[random() % seeds.size()];
    int edits = 1 + int(random() % 3);
    for (int e = 0; e < edits && !line.empty(); ++e) {
      size_t at = random() % line.size();
      char c = alphabet[random() % alphabet.size()];
      switch (random() % 4) {
        case 0: line[at] = c; break;
        case 1: line.insert(line.begin() + long(at), c); break;
        case 2: line.erase(at, 1 + random() % 3); break;
        case 3: line.resize(at); break;
      }
    }
    expectSameAsLibrary(line);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace quillore
