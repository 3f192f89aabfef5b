// How every command-line run ends: one JSON object on standard output and an exit code.
#pragma once

#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quillore {

enum class Exit : int32_t {
  ok = 0,           // done
  toolError = 1,    // the tool reported an error
  usage = 2,        // usage error
  unreachable = 3,  // the app can't be reached
};

// Writes `value` to descriptor 1 as the final object is printed (pretty, keys sorted
// at every depth, slashes plain, one LF at the end) and exits with `code`, whether or
// not the write succeeded.
[[noreturn]] void finish(const nlohmann::json& value, Exit code);

// `finish` with {"error": message}.
[[noreturn]] void fail(std::string_view message, Exit code);

}  // namespace quillore
