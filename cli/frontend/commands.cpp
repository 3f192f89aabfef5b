#include "frontend/commands.h"

#include <unistd.h>

#include "connection/transport.h"
#include "entry/outcome.h"
#include "entry/settings.h"

namespace quillore {

// Placeholder until the command-line mode lands: only the usage cases.
[[noreturn]] void runCLI(const std::vector<std::string>& arguments) {
  if (arguments.empty()) {
    writeAll(STDERR_FILENO, usage());
    _exit(2);
  }
  fail("not built yet", Exit::usage);
}

}  // namespace quillore
