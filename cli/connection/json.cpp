#include "connection/json.h"

namespace quillore {
namespace {

// Lines refused before the library sees them:
// - a NUL byte, which the library takes for the end of the input wherever a token
//   could start, so "{}" followed by NUL and anything at all would pass as "{}"; a
//   NUL is never part of JSON text (inside a text it must be escaped);
// - nesting deeper than `maxJsonDepth`: copying and writing a value recurse once per
//   level, so a line of a few hundred kilobytes of brackets would overflow the stack
//   of whoever encodes it (an id is encoded for its key).
bool refusedUnparsed(std::string_view text) {
  size_t depth = 0;
  bool inText = false, escaped = false;
  for (char c : text) {
    if (c == '\0') return true;
    if (inText) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inText = false;
    } else if (c == '"') {
      inText = true;
    } else if (c == '[' || c == '{') {
      if (++depth > maxJsonDepth) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

}  // namespace

std::optional<json> parseObject(std::string_view line) {
  if (refusedUnparsed(line)) return std::nullopt;
  json value = json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
  if (!value.is_object()) return std::nullopt;  // discarded (invalid) values are not objects
  return value;
}

std::string encode(const json& value) {
  try {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
  } catch (const json::exception&) {
    return "{}";
  }
}

std::string idKey(const json& id) {
  try {
    return json::array({id}).dump(-1, ' ', false, json::error_handler_t::replace);
  } catch (const json::exception&) {
    return "";
  }
}

std::string validUtf8(std::string_view text) {
  // Dumping a JSON string with the replacing error handler does exactly the
  // repair needed; the quotes and escapes it adds are taken off again by parsing.
  std::string quoted = json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
  return json::parse(quoted).get<std::string>();
}

}  // namespace quillore
