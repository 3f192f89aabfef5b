// quillore-mcp: the relay under its own name or with "mcp", else quillore-cli.
#include <unistd.h>

#include <csignal>

#include "entry/settings.h"
#include "frontend/commands.h"
#include "connection/transport.h"
#include "relay/relay.h"

int main(int argc, char** argv) {
  using namespace quillore;
  // Writes to a closed pipe or socket fail with EPIPE instead of ending the process.
  std::signal(SIGPIPE, SIG_IGN);
  setCommandLine(argc, argv);
  const auto& arguments = args();

  if (invokedAs() == "quillore-mcp") Relay().run();
  if (arguments.empty()) runCLI(arguments);
  const std::string& first = arguments.front();
  if (first == "mcp") Relay().run();
  if (first == "--version" || first == "version") {
    writeAll(STDOUT_FILENO, appVersion() + newline());
    _exit(0);
  }
  runCLI(arguments);
}
