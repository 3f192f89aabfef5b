// The relay's fast line classification against the JSON library: for every line,
// classify must accept exactly the objects parseObject accepts and read the same
// "method" and "id" from them (ids compared by their keys). Lines nested deeper than
// parseObject allows may still pass classify (their members are never built), but
// an id read from them must stay within the limit: the relay copies and encodes ids,
// which recurses once per level.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "connection/json.h"
#include "relay/classify.h"

namespace {

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "classify: %s\n", what);
  std::abort();
}

// Levels of arrays and objects in the text, counted outside texts.
size_t nesting(std::string_view text) {
  size_t depth = 0, deepest = 0;
  bool inText = false, escaped = false;
  for (char c : text) {
    if (inText) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inText = false;
    } else if (c == '"') {
      inText = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

// Levels of a value, found without recursion.
size_t levels(const quillore::json& value) {
  size_t deepest = 0;
  std::vector<std::pair<const quillore::json*, size_t>> pending{{&value, 0}};
  while (!pending.empty()) {
    auto [v, depth] = pending.back();
    pending.pop_back();
    if (!v->is_structured()) continue;
    deepest = std::max(deepest, depth + 1);
    for (const auto& element : *v) pending.emplace_back(&element, depth + 1);
  }
  return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  quillore::LineShape fast = quillore::classify(line);
  if (fast.id && levels(*fast.id) >= quillore::maxJsonDepth) broken("reads an id too deep to copy or encode");
  if (line.find('\0') == std::string_view::npos && nesting(line) > quillore::maxJsonDepth) return 0;
  auto object = quillore::parseObject(line);
  if (fast.object != object.has_value())
    broken(fast.object ? "accepts a line the library refuses" : "refuses an object");
  if (!object) {
    if (fast.hasMethod || fast.method || fast.id) broken("reads members of a line that is no object");
    return 0;
  }
  auto method = object->find("method");
  if (fast.hasMethod != (method != object->end())) broken("sees \"method\" differently");
  if (fast.method.has_value() != (method != object->end() && method->is_string())) broken("a text method differs");
  if (fast.method && *fast.method != method->get<std::string>()) broken("reads another method");
  auto id = object->find("id");
  if (fast.id.has_value() != (id != object->end())) broken("sees \"id\" differently");
  if (fast.id && quillore::idKey(*fast.id) != quillore::idKey(*id)) broken("reads another id");
  if (fast.isRequest() != (fast.method && id != object->end() && !id->is_null())) broken("isRequest is off");
  return 0;
}
