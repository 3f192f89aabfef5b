// Option parsing with generated input schemas and argument lists. Whatever the
// schema and the arguments: checkOptions either gives an input object holding only
// the tool's keys, each with a value of its option's kind, or a usage message; the
// number and integer readers agree with plain reference readers; checkJsonObject
// accepts exactly what parseObject accepts.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "connection/json.h"
#include "frontend/options.h"
#include "frontend/tool.h"

using quillore::json;
using quillore::OptionKind;

namespace {

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "options: %s\n", what);
  std::abort();
}

json propertySchema(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 11)) {
    case 0: return {{"type", "string"}};
    case 1: return {{"type", "integer"}};
    case 2: return {{"type", "number"}};
    case 3: return {{"type", "boolean"}, {"description", in.ConsumeRandomLengthString(8)}};
    case 4: return {{"type", "array"}, {"items", {{"type", "string"}}}};
    case 5: return {{"type", "array"}, {"items", {{"type", "integer"}}}};
    case 6: {
      json values = json::array();
      for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n) {
        switch (in.ConsumeIntegralInRange(0, 5)) {
          case 0: values.push_back(in.ConsumeRandomLengthString(6)); break;
          case 1: values.push_back(in.ConsumeIntegral<int64_t>()); break;
          case 2: values.push_back(in.ConsumeFloatingPoint<double>()); break;
          case 3: values.push_back(in.ConsumeBool()); break;
          case 4: values.push_back(nullptr); break;
          case 5: values.push_back(json::array({1, "a"})); break;
        }
      }
      return {{"enum", values}, {"type", "integer"}};
    }
    case 7: return {{"type", "object"}};
    case 8: return json::object();
    case 9: return {{"type", json::array({"string", "null"})}};
    case 10: return {{"enum", "single"}, {"type", "string"}};
    default: return in.ConsumeRandomLengthString(4);  // not an object: the tool has no options
  }
}

std::string argument(FuzzedDataProvider& in, const std::vector<std::string>& keys) {
  std::string key =
      keys.empty() ? in.ConsumeRandomLengthString(6) : keys[in.ConsumeIntegralInRange<size_t>(0, keys.size() - 1)];
  std::string text;
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: text = "--" + key; break;
    case 1: text = "--" + quillore::kebab(key); break;
    case 2: text = "--no-" + quillore::kebab(key); break;
    case 3: text = "--no-" + key; break;
    default: return in.ConsumeRandomLengthString(12);  // a value, or anything at all
  }
  if (in.ConsumeBool()) text += "=" + in.ConsumeRandomLengthString(8);
  return text;
}

bool fitsKind(const json& value, const OptionKind& kind) {
  switch (kind.kind()) {
    case OptionKind::Case::string: return value.is_string();
    case OptionKind::Case::integer: return value.is_number_integer();
    case OptionKind::Case::number: return value.is_number() && std::isfinite(value.get<double>());
    case OptionKind::Case::boolean: return value.is_boolean();
    case OptionKind::Case::strings:
      if (!value.is_array() || value.empty()) return false;
      for (const auto& element : value)
        if (!element.is_string()) return false;
      return true;
    case OptionKind::Case::choice:
      for (const auto& choice : kind.choices())
        if (choice == value) return true;
      return false;
    case OptionKind::Case::jsonOnly: return false;
  }
  return false;
}

// An optional sign and digits, within the signed 64-bit range.
bool referenceInteger(const std::string& text) {
  size_t i = text.empty() || (text[0] != '+' && text[0] != '-') ? 0 : 1;
  if (i == text.size()) return false;
  for (size_t j = i; j < text.size(); ++j)
    if (text[j] < '0' || text[j] > '9') return false;
  std::string digits = text.substr(i);
  while (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
  const std::string limit = text[0] == '-' ? "9223372036854775808" : "9223372036854775807";
  return digits.size() < limit.size() || (digits.size() == limit.size() && digits <= limit);
}

void checkValueReaders(const std::string& text) {
  auto integer = quillore::checkOptionValue(text, OptionKind(json{{"type", "integer"}}), "--n");
  if (integer.value.has_value() != referenceInteger(text)) broken("the integer reader disagrees with the reference");
  if (integer.value && integer.value->get<int64_t>() != std::strtoll(text.c_str(), nullptr, 10))
    broken("the integer reader reads another value");

  auto number = quillore::checkOptionValue(text, OptionKind(json{{"type", "number"}}), "--x");
  // The fuzzer runs in the C locale, so plain strtod is the reference.
  char* end = nullptr;
  const double c = std::strtod(text.c_str(), &end);
  const bool whole = end == text.c_str() + text.size();
  const bool expected =
      !text.empty() && !std::isspace(static_cast<unsigned char>(text[0])) && whole && std::isfinite(c);
  if (number.value.has_value() != expected) broken("the number reader disagrees with strtod");
  if (number.value && !(number.value->get<double>() == c)) broken("the number reader reads another value");
  if (!number.value && number.error != "--x takes a number, not " + text) broken("the number message is off");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  quillore::Tool tool;
  tool.name = in.ConsumeRandomLengthString(10);
  json properties = json::object();
  std::vector<std::string> keys;
  for (int n = in.ConsumeIntegralInRange(0, 6); n > 0; --n) {
    std::string key = in.ConsumeRandomLengthString(10);
    properties[key] = propertySchema(in);
    keys.push_back(key);
  }
  tool.schema = {{"type", "object"}, {"properties", properties}};
  std::vector<std::string> arguments;
  for (int n = in.ConsumeIntegralInRange(0, 8); n > 0; --n) arguments.push_back(argument(in, keys));

  quillore::Checked checked = quillore::checkOptions(arguments, tool);
  const json::object_t known = tool.properties();
  if (checked.value) {
    if (!checked.value->is_object()) broken("the input is not an object");
    for (const auto& [key, value] : checked.value->items()) {
      auto property = known.find(key);
      if (property == known.end()) broken("the input holds a key the tool does not have");
      if (!fitsKind(value, OptionKind(property->second))) broken("a value does not fit its option's kind");
    }
    if (!quillore::parseObject(quillore::encode(*checked.value))) broken("the input does not encode as an object");
  } else if (checked.error.empty()) {
    broken("a refusal without a message");
  }

  const std::string rest = in.ConsumeRemainingBytesAsString();
  checkValueReaders(rest);
  if (quillore::checkJsonObject(rest).value.has_value() != quillore::parseObject(rest).has_value())
    broken("checkJsonObject disagrees with parseObject");
  return 0;
}
