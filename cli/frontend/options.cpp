#include "frontend/options.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <map>

#include "entry/outcome.h"
#include "entry/settings.h"
#include "frontend/c_number.h"

namespace quillore {
namespace {

// An optional sign, then one or more ASCII digits, within the signed 64-bit range.
std::optional<int64_t> readInteger(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  // Accumulated as a negative number, whose range is one larger.
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    int digit = c - '0';
    if (value < (INT64_MIN + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == INT64_MIN) return std::nullopt;
    value = -value;
  }
  return value;
}

bool isCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// A finite double read in full by strtod in the C locale. Infinity, not-a-number
// and numbers beyond the double range have no JSON form, so they are refused.
std::optional<double> readNumber(const std::string& text) {
  if (text.empty() || isCSpace(text.front())) return std::nullopt;
  auto value = readCDouble(text);
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return value;
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += separator;
    text += parts[i];
  }
  return text;
}

std::string noSuchOption(const Tool& tool, const std::string& name, const json::object_t& properties) {
  std::vector<std::string> options;
  for (const auto& entry : properties) options.push_back("--" + kebab(entry.first));  // keys in byte order
  return tool.name + " has no option " + name +
         ". Its options: " + (options.empty() ? std::string("none") : joined(options, ", ")) + ". Run `" + invokedAs() +
         " help " + tool.name + "`.";
}

json endOnError(Checked checked) {
  if (!checked.value) fail(checked.error, Exit::usage);
  return std::move(*checked.value);
}

}  // namespace

Checked checkOptionValue(const std::string& text, const OptionKind& kind, const std::string& label) {
  using enum OptionKind::Case;
  switch (kind.kind()) {
    case string:
    case strings: return Checked::accept(text);
    case integer:
      if (auto value = readInteger(text)) return Checked::accept(*value);
      return Checked::reject(label + " takes a whole number, not " + text);
    case number:
      if (auto value = readNumber(text)) return Checked::accept(*value);
      return Checked::reject(label + " takes a number, not " + text);
    case boolean:
      if (text == "true") return Checked::accept(true);
      if (text == "false") return Checked::accept(false);
      return Checked::reject(label + " takes true or false, not " + text);
    case jsonOnly: return Checked::reject(label + " is nested input; pass it in --json");
    case choice: {
      std::vector<std::string> forms;
      for (const auto& value : kind.choices()) {
        std::string form = textForm(value);
        if (form == text) return Checked::accept(value);
        forms.push_back(std::move(form));
      }
      return Checked::reject(label + " takes one of " + joined(forms, ", ") + ", not " + text);
    }
  }
  return Checked::reject(label + " is nested input; pass it in --json");
}

Checked checkOptions(const std::vector<std::string>& arguments, const Tool& tool) {
  const json::object_t properties = tool.properties();
  std::map<std::string, std::string> table;  // option name → property key
  for (const auto& entry : properties) {
    table.emplace("--" + entry.first, entry.first);
    table.emplace("--" + kebab(entry.first), entry.first);
  }

  json input = json::object();
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const size_t eq = argument.find('=');
    const std::string name = argument.substr(0, eq);
    std::optional<std::string> inline_;
    if (eq != std::string::npos) inline_ = argument.substr(eq + 1);

    std::optional<std::string> found;
    bool negated = false;
    if (auto entry = table.find(name); entry != table.end()) {
      found = entry->second;
    } else if (name.starts_with("--no-")) {
      auto plain = table.find("--" + name.substr(5));
      if (plain != table.end() && OptionKind(properties.at(plain->second)).kind() == OptionKind::Case::boolean) {
        found = plain->second;
        negated = true;
      }
    }
    if (!found) return Checked::reject(noSuchOption(tool, name, properties));
    const std::string& key = *found;

    const OptionKind kind(properties.at(key));
    if (kind.kind() == OptionKind::Case::boolean) {
      if (negated) {
        input[key] = false;
      } else if (inline_) {
        Checked value = checkOptionValue(*inline_, kind, name);
        if (!value.value) return value;
        input[key] = std::move(*value.value);
      } else if (i + 1 < arguments.size() && (arguments[i + 1] == "true" || arguments[i + 1] == "false")) {
        input[key] = arguments[++i] == "true";
      } else {
        input[key] = true;
      }
      continue;
    }

    std::string text;
    if (inline_) {
      text = *inline_;
    } else if (i + 1 < arguments.size()) {
      text = arguments[++i];
    } else {
      return Checked::reject(name + " needs a value");
    }
    Checked value = checkOptionValue(text, kind, name);
    if (!value.value) return value;
    if (kind.kind() == OptionKind::Case::strings) {
      json& list = input[key];
      if (!list.is_array()) list = json::array();
      list.push_back(std::move(*value.value));
    } else {
      input[key] = std::move(*value.value);
    }
  }
  return Checked::accept(std::move(input));
}

Checked checkJsonObject(std::string_view text) {
  if (auto object = parseObject(text)) return Checked::accept(std::move(*object));
  return Checked::reject("--json takes a JSON object");
}

json parseOptions(const std::vector<std::string>& arguments, const Tool& tool) {
  return endOnError(checkOptions(arguments, tool));
}

json jsonInput(const std::string& text) {
  if (text != "-") return endOnError(checkJsonObject(text));
  std::string input;
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // a read error ends the input like its end does
    input.append(chunk, size_t(n));
  }
  return endOnError(checkJsonObject(input));
}

}  // namespace quillore
