// Standard base64 (RFC 4648 alphabet, "=" padding), read strictly.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillore {

// The bytes `text` encodes, or nothing when it is not standard base64: a length that
// is not a multiple of four, a character outside the alphabet (line breaks and
// spaces included), or "=" anywhere but as one or two final characters.
std::optional<std::string> decodeBase64(std::string_view text);

// The same, decoding into `text` itself (the bytes are shorter than their text):
// true with `text` holding the bytes, or false with `text` spoilt. Images of many
// megabytes are decoded without a second buffer.
bool decodeBase64InPlace(std::string& text);

}  // namespace quillore
