// parseObject, encode and idKey on arbitrary lines. Whatever the bytes:
// - parseObject gives an object or nothing, and never crashes (deep nesting included);
// - an object encodes to one line that parses back to the same object;
// - the key of an "id" is the same for the id read back from the encoded line, and
//   a text id never shares its key with the number its text spells.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "connection/json.h"

namespace {

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "json: %s\n", what);
  std::abort();
}

void checkKey(const quillore::json& id, const quillore::json& again) {
  std::string key = quillore::idKey(id);
  if (key.empty()) broken("an id without a key");
  if (quillore::idKey(again) != key) broken("one id, two keys");
  if (id.is_string()) {
    const std::string& text = id.get_ref<const std::string&>();
    auto spelled = quillore::parseObject("{\"id\":" + text + "}");
    if (spelled && (*spelled)["id"].type() != id.type() && quillore::idKey((*spelled)["id"]) == key)
      broken("a text id shares its key with another type");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  auto object = quillore::parseObject(line);
  if (!object) return 0;
  if (!object->is_object()) broken("parseObject gave something other than an object");

  std::string encoded = quillore::encode(*object);
  if (encoded.find('\n') != std::string::npos) broken("an encoded object spans lines");
  auto again = quillore::parseObject(encoded);
  if (!again) broken("an encoded object does not parse");
  if (*again != *object) broken("an object changed on the way through encode");

  if (object->contains("id")) checkKey((*object)["id"], (*again)["id"]);
  for (const auto& [name, member] : object->items()) checkKey(member, (*again)[name]);
  return 0;
}
