// The parts of the commands that need no app: separating arguments, reading the
// tool listing, summaries and tool help.
#include "frontend/commands.h"

#include <gtest/gtest.h>

#include "entry/settings.h"

using namespace quillore;

namespace {

using Words = std::vector<std::string>;

}  // namespace

TEST(Separate, WordsOptionsJsonAndOut) {
  struct Case {
    Words arguments, words, options;
    std::optional<std::string> json, out, missing;
  };
  const Case cases[] = {
      {{}, {}, {}, {}, {}, {}},
      {{"tools"}, {"tools"}, {}, {}, {}, {}},
      {{"render-preview", "--photo-id", "42"}, {"render-preview"}, {"--photo-id", "42"}, {}, {}, {}},
      {{"call", "t", "{}", "x"}, {"call", "t", "{}", "x"}, {}, {}, {}, {}},
      // After the first option argument every argument is an option argument.
      {{"t", "--a", "b", "c", "-h"}, {"t"}, {"--a", "b", "c", "-h"}, {}, {}, {}},
      // Single-dash arguments are words until an option came.
      {{"-h", "-", "t"}, {"-h", "-", "t"}, {}, {}, {}, {}},
      // --json and --out anywhere, with any value; the last one wins.
      {{"t", "--json", "--a", "--out", "o", "--b"}, {"t"}, {"--b"}, "--a", "o", {}},
      {{"--json={\"a\":1}", "t", "--json=", "--out=x=y"}, {"t"}, {}, "", "x=y", {}},
      {{"t", "--a", "--json", "{}", "1"}, {"t"}, {"--a", "1"}, "{}", {}, {}},
      {{"--jsonx", "t"}, {}, {"--jsonx", "t"}, {}, {}, {}},
      {{"--help"}, {}, {"--help"}, {}, {}, {}},
      // A value-taking flag at the very end.
      {{"t", "--json"}, {"t"}, {}, {}, {}, "--json"},
      {{"--out"}, {}, {}, {}, {}, "--out"},
  };
  for (const auto& c : cases) {
    CommandLine line = separate(c.arguments);
    std::string context = c.arguments.empty() ? "(none)" : c.arguments.front();
    EXPECT_EQ(line.words, c.words) << context;
    EXPECT_EQ(line.options, c.options) << context;
    EXPECT_EQ(line.jsonText, c.json) << context;
    EXPECT_EQ(line.outDir, c.out) << context;
    EXPECT_EQ(line.missingValue, c.missing) << context;
  }
}

TEST(Summary, FirstSentenceWithAFullStop) {
  const std::pair<const char*, const char*> cases[] = {
      {"Renders a preview. Writes a PNG.", "Renders a preview."},
      {"Lists photos", "Lists photos."},
      {"", "."},
      {"Ends with a stop.", "Ends with a stop."},
      {"Version 1.2 is here. More", "Version 1.2 is here."},
      {"Dots... then more. Rest", "Dots.."},  // the stop before the space is the one cut off
      {"Trailing stop. ", "Trailing stop."},
      {"Line one.\nLine two. End", "Line one.\nLine two."},
  };
  for (const auto& [description, expected] : cases) EXPECT_EQ(summary(description), expected) << description;
}

TEST(ToolsFromListing, ReadsToolsOrNothing) {
  auto tools = toolsFromListing(json::parse(R"({"id":2,"result":{"tools":[
      {"name":"a","title":"A","description":"d","inputSchema":{"type":"object"}},
      {"name":7,"title":null},
      {"name":"a","inputSchema":[]}]}})"));
  ASSERT_EQ(tools.size(), 3u);
  EXPECT_EQ(tools[0].name, "a");
  EXPECT_EQ(tools[0].title, "A");
  EXPECT_EQ(tools[0].description, "d");
  EXPECT_EQ(tools[0].schema, json::parse(R"({"type":"object"})"));
  EXPECT_EQ(tools[1].name, "");
  EXPECT_EQ(tools[1].title, "");
  EXPECT_EQ(tools[1].schema, json::object());
  EXPECT_EQ(tools[2].schema, json::object());

  for (const char* reply :
       {R"({"id":2,"error":{"code":-1,"message":"x"}})", R"({"id":2,"result":[]})", R"({"id":2,"result":{}})",
        R"({"id":2,"result":{"tools":{}}})", R"({"id":2,"result":{"tools":[{"name":"a"},"b"]}})"}) {
    EXPECT_TRUE(toolsFromListing(json::parse(reply)).empty()) << reply;
  }
}

TEST(ToolHelp, OptionsInHelpOrderAndTheUsageLine) {
  Tool tool{"render_preview", "Render preview", "Renders. Writes.", json::parse(R"({
    "type": "object",
    "properties": {
      "photoId": {"type": "string", "description": "Which photo"},
      "hdr": {"type": "boolean"},
      "variants": {"type": "array", "description": 5},
      "quality": {"enum": ["fast", "full"]},
      "Size": {"type": "integer"},
      "tags": {"type": "array", "items": {"type": "string"}}
    },
    "required": ["quality", "photoId", "ghost"]
  })")};
  json help = toolHelp(tool);
  EXPECT_EQ(help["name"], "render_preview");
  EXPECT_EQ(help["title"], "Render preview");
  EXPECT_EQ(help["description"], "Renders. Writes.");
  EXPECT_EQ(help["inputSchema"], tool.schema);
  EXPECT_EQ(help["usage"], invokedAs() +
                               " render_preview --photo-id <string> --quality <fast|full> [---size <integer>] [--hdr] "
                               "[--tags <string> (repeat for more)] [variants (in --json)]");
  EXPECT_EQ(help["options"], json::parse(R"([
    {"key":"photoId","type":"string","required":true,"option":"--photo-id","description":"Which photo"},
    {"key":"quality","type":"choice","required":true,"option":"--quality"},
    {"key":"Size","type":"integer","required":false,"option":"---size"},
    {"key":"hdr","type":"boolean","required":false,"option":"--hdr"},
    {"key":"tags","type":"list of strings","required":false,"option":"--tags"},
    {"key":"variants","type":"json","required":false,"jsonOnly":true}
  ])"));
}

TEST(ToolHelp, ToolWithoutProperties) {
  json help = toolHelp(Tool{"list_photos", "", "", json::object()});
  EXPECT_EQ(help["options"], json::array());
  EXPECT_EQ(help["usage"], invokedAs() + " list_photos");
  EXPECT_EQ(help["inputSchema"], json::object());
}
