// The program as a process: mode choice, version request, usage text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_program.h"

namespace {

using testsupport::Outcome;

// Runs the program under the name `argv0`; standard input is empty, the app's socket
// does not exist and launching is off, so the relay ends at once.
Outcome run(const std::string& argv0, std::vector<std::string> arguments) {
  return testsupport::runProgram({
      .path = QUILLORE_BIN_DIR "/quillore-mcp",
      .arguments = std::move(arguments),
      .name = argv0,
      .environment = {"QL_AGENT_SOCK=/tmp/ql-entry-test-no-such.sock", "QL_NO_LAUNCH=1", "PATH=/usr/bin:/bin"},
      .ownEnvironmentOnly = true,
  });
}

std::string usageFor(const std::string& name) {
  const char* pieces[] = {
      ": drive Quillore, which converts Fujifilm RAF files on the user's own camera.\n\nUsage:\n  ",
      " tools                        List the tools, as JSON.\n  ",
      " help <tool>                  One tool's options and input schema, as JSON.\n  ",
      " <tool> [--option value\u2026] [--json '<object>' | --json -]\n  ",
      " call <tool> ['<object>']     The same, with all input as JSON.\n  ",
      " mcp                          Serve MCP on stdin/stdout.\n  ",
      " --version\n\nTool names take _ or - (render_preview, render-preview); options take the input's keys as\n"
      "--photoId or --photo-id. Nested input (render_preview's variants) goes in --json.\n\nOptions:\n"
      "  --json <object>   Tool input as a JSON object; - reads it from stdin. Options override its keys.\n"
      "  --out <dir>       Where images are written (default ~/Library/Caches/Quillore/agent-previews,\n"
      "                    cleared after a day).\n\nOutput is one JSON object on stdout; images come back as files "
      "listed in \"images\".\nExit codes: 0 done, 1 the tool reported an error, 2 usage error, 3 Quillore can't be "
      "reached\n(it is opened in the background when needed; Settings \u2192 AI agents must be on).\n"};
  std::string text;
  for (const char* piece : pieces) text += name + piece;
  return text;
}

TEST(Entry, VersionRequestPrintsTheVersionLine) {
  for (auto args : {std::vector<std::string>{"--version"}, {"version"}, {"version", "extra"}}) {
    Outcome o = run("quillore-cli", args);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "0.3.0-beta.17\n");
    EXPECT_EQ(o.err, "");
  }
}

TEST(Entry, RelayModeByNameIgnoresTheArguments) {
  for (const char* argv0 : {"quillore-mcp", "/opt/tools/quillore-mcp"}) {
    Outcome o = run(argv0, {"--version"});
    EXPECT_EQ(o.status, 0) << argv0;
    EXPECT_EQ(o.out, "") << "no version in relay mode";
  }
}

TEST(Entry, RelayModeByFirstArgument) {
  Outcome o = run("quillore-cli", {"mcp", "anything"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "");
}

TEST(Entry, NoArgumentsWriteTheUsageToStandardErrorWithStatus2) {
  for (const char* argv0 : {"quillore-cli", "/usr/local/bin/ql"}) {
    Outcome o = run(argv0, {});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, usageFor(argv0[0] == '/' ? "ql" : argv0));
  }
}

}  // namespace
