// Standard base64 (RFC 4648 alphabet, "=" padding), read strictly.
#pragma once

#include <string>

namespace quillore {

// Decodes `text` where it lies (the bytes are shorter than their text), so images of
// many megabytes need no second buffer: true with `text` holding the bytes, or false,
// with `text` spoilt, when it is not standard base64 — a length that is not a multiple
// of four, a character outside the alphabet (line breaks and spaces included), or "="
// anywhere but as one or two final characters.
bool decodeBase64InPlace(std::string& text);

}  // namespace quillore
