#include "frontend/commands.h"

#include <unistd.h>

#include <algorithm>

#include "connection/client.h"
#include "connection/reach.h"
#include "connection/transport.h"
#include "entry/outcome.h"
#include "entry/settings.h"
#include "frontend/options.h"
#include "frontend/output.h"

namespace quillore {

CommandLine separate(const std::vector<std::string>& arguments) {
  CommandLine line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--json" || argument == "--out") {
      if (i + 1 == arguments.size()) {
        line.missingValue = argument;
        break;
      }
      (argument == "--json" ? line.jsonText : line.outDir) = arguments[++i];
    } else if (argument.starts_with("--json=")) {
      line.jsonText = argument.substr(7);
    } else if (argument.starts_with("--out=")) {
      line.outDir = argument.substr(6);
    } else if (argument.starts_with("--") || !line.options.empty()) {
      line.options.push_back(argument);
    } else {
      line.words.push_back(argument);
    }
  }
  return line;
}

std::vector<Tool> toolsFromListing(const json& reply) {
  auto result = reply.find("result");
  if (result == reply.end() || !result->is_object()) return {};
  auto listed = result->find("tools");
  if (listed == result->end() || !listed->is_array()) return {};
  std::vector<Tool> tools;
  for (const auto& entry : *listed) {
    if (!entry.is_object()) return {};
    auto text = [&](const char* key) {
      auto it = entry.find(key);
      return it != entry.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    Tool tool{text("name"), text("title"), text("description"), json::object()};
    if (auto schema = entry.find("inputSchema"); schema != entry.end() && schema->is_object()) tool.schema = *schema;
    tools.push_back(std::move(tool));
  }
  return tools;
}

std::string summary(const std::string& description) {
  std::string sentence = description.substr(0, description.find(". "));
  if (!sentence.ends_with('.')) sentence += '.';
  return sentence;
}

namespace {

// Required keys first, then the others; each group in byte order.
std::vector<std::string> helpOrder(const Tool& tool) {
  std::vector<std::string> required, optional;
  for (const auto& entry : tool.properties()) {
    (tool.isRequired(entry.first) ? required : optional).push_back(entry.first);
  }
  required.insert(required.end(), optional.begin(), optional.end());
  return required;
}

std::string trimmed(const std::string& text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(" \t") + 1 - start);
}

}  // namespace

json toolHelp(const Tool& tool) {
  const json::object_t properties = tool.properties();
  json options = json::array();
  std::string usageLine = invokedAs() + " " + tool.name;
  for (const std::string& key : helpOrder(tool)) {
    const json& property = properties.at(key);
    const OptionKind kind(property);
    const bool required = tool.isRequired(key);
    const bool jsonOnly = kind.kind() == OptionKind::Case::jsonOnly;

    json entry = {{"key", key}, {"type", kind.name()}, {"required", required}};
    if (jsonOnly) {
      entry["jsonOnly"] = true;
    } else {
      entry["option"] = "--" + kebab(key);
    }
    if (auto description = property.find("description"); description != property.end() && description->is_string())
      entry["description"] = *description;
    options.push_back(std::move(entry));

    std::string piece = jsonOnly ? key + " (in --json)" : trimmed("--" + kebab(key) + " " + kind.placeholder());
    usageLine += " " + (required ? piece : "[" + piece + "]");
  }
  return {{"name", tool.name},  {"title", tool.title}, {"description", tool.description},
          {"usage", usageLine}, {"options", options},  {"inputSchema", tool.schema}};
}

namespace {

[[noreturn]] void printUsage(int fd, Exit code) {
  writeAll(fd, usage());
  _exit(int(code));
}

// The tool the user named, with "-" read as "_"; ends the run when there is none.
const Tool& find(const std::vector<Tool>& tools, const std::string& typed) {
  std::string name = typed;
  std::replace(name.begin(), name.end(), '-', '_');
  for (const Tool& tool : tools) {
    if (tool.name == name) return tool;
  }
  fail("No tool named " + typed + ". Run `" + invokedAs() + " tools`.", Exit::usage);
}

std::vector<Tool> handshake(Client& client) {
  json initialize = {
      {"protocolVersion", "2025-11-25"},
      {"capabilities", json::object()},
      {"clientInfo", {{"name", "quillore-cli"}, {"version", appVersion()}}},
  };
  json reply = client.request("initialize", initialize);
  if (auto error = reply.find("error"); error != reply.end() && error->is_object()) {
    auto message = error->find("message");
    fail(message != error->end() && message->is_string() ? message->get<std::string>() : "initialize failed",
         Exit::unreachable);
  }
  client.notify("notifications/initialized");
  return toolsFromListing(client.request("tools/list", json::object()));
}

// Options override the keys of the JSON input.
json withOptions(json input, const CommandLine& line, const Tool& tool) {
  json options = parseOptions(line.options, tool);
  for (auto& [key, value] : options.items()) input[key] = std::move(value);
  return input;
}

}  // namespace

[[noreturn]] void runCLI(const std::vector<std::string>& arguments) {
  const CommandLine line = separate(arguments);
  if (line.missingValue) fail(*line.missingValue + " needs a value", Exit::usage);
  const auto& words = line.words;
  // Help requests and an empty command line are answered without the app.
  if ((!words.empty() && words[0] == "-h") || (words.size() == 1 && words[0] == "help") ||
      (words.empty() && !line.options.empty() && line.options[0] == "--help"))
    printUsage(STDOUT_FILENO, Exit::ok);
  if (words.empty()) printUsage(STDERR_FILENO, Exit::usage);

  // Everything else, even a misspelt tool name, is judged against the app's tool list.
  Reach reach = reachApp(Launch::allowed);
  if (reach.kind != Reach::Case::connected) fail(reach.reason(), Exit::unreachable);
  Client client(std::move(reach.socket));
  const std::vector<Tool> tools = handshake(client);

  const std::string& command = words[0];
  if (command == "tools") {
    json list = json::array();
    for (const Tool& tool : tools)
      list.push_back({{"name", tool.name}, {"title", tool.title}, {"summary", summary(tool.description)}});
    finish(json{{"tools", list}}, Exit::ok);
  }
  if (command == "help") finish(toolHelp(find(tools, words[1])), Exit::ok);

  // `call` takes the tool from the second word and one JSON object from the third,
  // which replaces --json; options override both.
  if (command == "call") {
    if (words.size() < 2) fail("Usage: " + invokedAs() + " call <tool> ['<json object>']", Exit::usage);
    const Tool& tool = find(tools, words[1]);
    json input = line.jsonText ? jsonInput(*line.jsonText) : json::object();
    if (words.size() >= 3) input = jsonInput(words[2]);
    if (words.size() > 3) fail("call takes one JSON object; quote it", Exit::usage);
    callTool(client, tool, withOptions(std::move(input), line, tool), line.outDir);
  }

  const Tool& tool = find(tools, command);
  if (words.size() >= 2)
    fail("Unexpected " + words[1] + ". Options start with --; run `" + invokedAs() + " help " + tool.name + "`.",
         Exit::usage);
  json input = line.jsonText ? jsonInput(*line.jsonText) : json::object();
  callTool(client, tool, withOptions(std::move(input), line, tool), line.outDir);
}

}  // namespace quillore
