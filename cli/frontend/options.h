// A tool's input from the command line: option arguments and JSON objects.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "connection/json.h"
#include "frontend/tool.h"

namespace quillore {

// The outcome of checking what the user typed: a value, or the message of the
// usage error that ends the run.
struct Checked {
  std::optional<json> value;
  std::string error;

  static Checked accept(json v) { return {std::move(v), {}}; }
  static Checked reject(std::string message) { return {std::nullopt, std::move(message)}; }
};

// The JSON value for the text typed after an option of `kind`; `label` is the
// option as the user wrote it (--photo-id, --photoId) and starts the message.
Checked checkOptionValue(const std::string& text, const OptionKind& kind, const std::string& label);

// The input object the option arguments give for `tool`: property key → value,
// only for the options given. The first bad argument is the one reported.
Checked checkOptions(const std::vector<std::string>& arguments, const Tool& tool);

// The object a --json text (or the object word of `call`) holds.
Checked checkJsonObject(std::string_view text);

// `checkOptions` and `checkJsonObject`, ending the run with {"error": message} and
// exit code 2 on a bad argument. `jsonInput("-")` reads standard input to its end.
json parseOptions(const std::vector<std::string>& arguments, const Tool& tool);
json jsonInput(const std::string& text);

}  // namespace quillore
