// Command-line mode: tools, help <tool>, call <tool> and <tool> --option value….
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "connection/json.h"
#include "frontend/tool.h"

namespace quillore {

// Runs one command line (the arguments after the program's name) and ends the process.
[[noreturn]] void runCLI(const std::vector<std::string>& arguments);

// The command line taken apart: words before the first option, the option
// arguments, and the values of --json and --out (the last of each wins).
struct CommandLine {
  std::vector<std::string> words;
  std::vector<std::string> options;
  std::optional<std::string> jsonText;
  std::optional<std::string> outDir;
  std::optional<std::string> missingValue;  // "--json" or "--out" given last, without a value
};
CommandLine separate(const std::vector<std::string>& arguments);

// The tools of a "tools/list" reply, in listing order; none when the reply is not
// a list of tool objects.
std::vector<Tool> toolsFromListing(const json& reply);

// The first sentence of a description, ending with a full stop.
std::string summary(const std::string& description);

// {"name", "title", "description", "usage", "options", "inputSchema"} for `help <tool>`.
json toolHelp(const Tool& tool);

}  // namespace quillore
