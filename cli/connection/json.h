// JSON messages: lines to objects, values to lines, ids to lookup keys.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quillore {

using nlohmann::json;

// Arrays and objects nested deeper than this are refused by parseObject.
inline constexpr size_t maxJsonDepth = 512;

// The object one line holds (whitespace around it allowed), or nothing for anything
// else: invalid JSON, an array, a bare value, an empty line, a NUL byte anywhere,
// nesting deeper than `maxJsonDepth`.
std::optional<json> parseObject(std::string_view line);

// Compact JSON text, slashes plain, no line feed. Invalid UTF-8 in texts is
// written as U+FFFD.
std::string encode(const json& value);

// A key telling ids apart by JSON type and value: the id's JSON text in brackets,
// so the number 7 gives "[7]" and the text "7" gives "[\"7\"]".
std::string idKey(const json& id);

// `text` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string validUtf8(std::string_view text);

}  // namespace quillore
