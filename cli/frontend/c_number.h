// Numbers as the C library reads them in the "C" locale, whatever the user's locale.
#pragma once

#include <optional>
#include <string>

namespace quillore {

// `strtod` in the C locale over the whole text, or nothing when it stops early.
// Leading white space is skipped, as strtod does; the caller decides about it.
std::optional<double> readCDouble(const std::string& text);

}  // namespace quillore
