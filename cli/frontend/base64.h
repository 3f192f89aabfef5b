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

}  // namespace quillore
