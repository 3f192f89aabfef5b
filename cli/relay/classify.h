// What the relay needs to know about one line, found without building the whole
// document: a 20 MB tool result goes through at close to copying speed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quillore {

struct LineShape {
  bool object = false;                // the line holds exactly one JSON object
  bool hasMethod = false;             // it has a "method" member, of any type
  std::optional<std::string> method;  // that member, when it is a text
  std::optional<nlohmann::json> id;   // the "id" member when present, null included

  // The agent's requests: a text method and an id that is not null.
  bool isRequest() const { return method && id && !id->is_null(); }
  // The app's replies: an id (null included) and no method.
  bool isReply() const { return object && !hasMethod && id.has_value(); }
};

// Validates the line as strictly as `parseObject` does (same accepted documents,
// same member values; the last of duplicate members wins) and reads the top-level
// "method" and "id". Anything but a single object gives `object` false and
// nothing else.
LineShape classify(std::string_view line);

}  // namespace quillore
