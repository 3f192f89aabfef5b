// Tools as the app lists them, and the command-line option that stands for each
// property of a tool's input schema.
#pragma once

#include <string>
#include <vector>

#include "connection/json.h"

namespace quillore {

struct Tool {
  std::string name;              // as the app lists it, and as "tools/call" wants it back
  std::string title;             // empty when the listing gives none
  std::string description;       // empty when the listing gives none
  json schema = json::object();  // the input schema; an empty object when none is given

  // The schema's "properties" when every value in it is an object, else nothing at
  // all: one malformed property leaves the tool without options.
  json::object_t properties() const;
  // The schema's "required" when it is an array of texts only, else empty.
  std::vector<std::string> required() const;
  bool isRequired(const std::string& key) const;
};

// The option name for a property key, without the leading "--": every upper-case
// character (a whole grapheme cluster) becomes "-" and its full lower-case form.
// photoId → photo-id, useHDR → use-h-d-r, URL → -u-r-l.
std::string kebab(const std::string& key);

// What an option takes on the command line, decided by its property schema.
class OptionKind {
 public:
  enum class Case { choice, string, integer, number, boolean, strings, jsonOnly };

  // From one property's schema: "enum" (an array) wins, then "type"; anything else
  // can only be given in --json.
  explicit OptionKind(const json& propertySchema);

  Case kind() const { return kind_; }
  // The enum values of a `choice`, in schema order.
  const json::array_t& choices() const { return choices_; }

  // "choice", "string", …, "list of strings", "json".
  std::string name() const;
  // The value shown after the option in a usage line: "<fast|full>", "<string>", "".
  std::string placeholder() const;

  bool operator==(const OptionKind& other) const = default;

 private:
  Case kind_ = Case::jsonOnly;
  json::array_t choices_;
};

// How an enum value reads on the command line, in placeholders and in messages: a
// text without quotes, a whole number in decimal digits, anything else as compact
// JSON (1.5, true, null, [1,2]).
std::string textForm(const json& value);

}  // namespace quillore
