#include "frontend/tool.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>

namespace quillore {

json::object_t Tool::properties() const {
  auto it = schema.find("properties");
  if (it == schema.end() || !it->is_object()) return {};
  for (const auto& [key, property] : it->items()) {
    if (!property.is_object()) return {};
  }
  return it->get<json::object_t>();
}

std::vector<std::string> Tool::required() const {
  auto it = schema.find("required");
  if (it == schema.end() || !it->is_array()) return {};
  std::vector<std::string> keys;
  for (const auto& element : *it) {
    if (!element.is_string()) return {};
    keys.push_back(element.get<std::string>());
  }
  return keys;
}

bool Tool::isRequired(const std::string& key) const {
  for (const auto& name : required()) {
    if (name == key) return true;
  }
  return false;
}

namespace {

// One user-perceived character is upper case when it is a single code point with
// the Uppercase property, or when upper-casing leaves it as it is and it is cased
// (a single Cased code point, or lower-casing changes it).
bool isUpperCase(const icu::UnicodeString& character) {
  const bool single = character.countChar32() == 1;
  const UChar32 first = character.char32At(0);
  if (single && u_hasBinaryProperty(first, UCHAR_UPPERCASE)) return true;
  icu::UnicodeString upper(character), lower(character);
  upper.toUpper(icu::Locale::getRoot());
  lower.toLower(icu::Locale::getRoot());
  if (upper != character) return false;
  return (single && u_hasBinaryProperty(first, UCHAR_CASED)) || lower != character;
}

}  // namespace

std::string kebab(const std::string& key) {
  // ICU reads invalid UTF-8 as U+FFFD, which is not upper case and is copied as is;
  // the keys come from JSON text, so they are valid anyway.
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(key);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> characters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) return key;
  characters->setText(text);

  icu::UnicodeString result;
  int32_t start = characters->first();
  for (int32_t end = characters->next(); end != icu::BreakIterator::DONE; start = end, end = characters->next()) {
    icu::UnicodeString character(text, start, end - start);
    if (isUpperCase(character)) {
      result.append(u'-');
      result.append(character.toLower(icu::Locale::getRoot()));  // the full mapping, İ → i̇
    } else {
      result.append(character);
    }
  }
  std::string out;
  result.toUTF8String(out);
  return out;
}

OptionKind::OptionKind(const json& propertySchema) {
  using enum Case;
  if (auto values = propertySchema.find("enum"); values != propertySchema.end() && values->is_array()) {
    kind_ = choice;
    choices_ = values->get<json::array_t>();
    return;
  }
  auto type = propertySchema.find("type");
  if (type == propertySchema.end() || !type->is_string()) return;  // jsonOnly
  const auto& name = type->get_ref<const std::string&>();
  if (name == "string") {
    kind_ = string;
  } else if (name == "integer") {
    kind_ = integer;
  } else if (name == "number") {
    kind_ = number;
  } else if (name == "boolean") {
    kind_ = boolean;
  } else if (name == "array") {
    auto items = propertySchema.find("items");
    if (items != propertySchema.end() && items->is_object()) {
      auto itemType = items->find("type");
      if (itemType != items->end() && itemType->is_string() && *itemType == "string") kind_ = strings;
    }
  }
}

std::string OptionKind::name() const {
  using enum Case;
  switch (kind_) {
    case choice: return "choice";
    case string: return "string";
    case integer: return "integer";
    case number: return "number";
    case boolean: return "boolean";
    case strings: return "list of strings";
    case jsonOnly: return "json";
  }
  return "json";
}

std::string OptionKind::placeholder() const {
  using enum Case;
  switch (kind_) {
    case choice: {
      std::string text = "<";
      for (size_t i = 0; i < choices_.size(); ++i) {
        if (i > 0) text += "|";
        text += textForm(choices_[i]);
      }
      return text + ">";
    }
    case string: return "<string>";
    case integer: return "<integer>";
    case number: return "<number>";
    case boolean: return "";
    case strings: return "<string> (repeat for more)";
    case jsonOnly: return "(in --json)";
  }
  return "";
}

std::string textForm(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  return encode(value);  // integers are their digits; other values their JSON text
}

}  // namespace quillore
