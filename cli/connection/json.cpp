#include "connection/json.h"

namespace quillore {

std::optional<json> parseObject(std::string_view line) {
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
