#include "entry/outcome.h"

#include <unistd.h>

#include "connection/json.h"
#include "connection/transport.h"
#include "entry/settings.h"

namespace quillore {

namespace {

std::string finalText(const nlohmann::json& value) {
  // Objects keep their members ordered by key, so the dump is sorted at every depth;
  // the writer never escapes "/". Text that is not valid UTF-8 (a path or word from
  // the command line) is written with U+FFFD in place of the bad bytes, so the
  // message still reaches the user.
  std::string text;
  try {
    text = value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const nlohmann::json::exception&) {
    text = "{}";
  }
  return text + newline();
}

}  // namespace

[[noreturn]] void finish(const nlohmann::json& value, Exit code) {
  writeAll(STDOUT_FILENO, finalText(value));
  _exit(static_cast<int>(code));
}

[[noreturn]] void fail(std::string_view message, Exit code) {
  finish(nlohmann::json{{"error", validUtf8(message)}}, code);
}

}  // namespace quillore
