// quillore-mcp: the relay under its own name or with "mcp", else quillore-cli.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "connection/transport.h"
#include "entry/settings.h"
#include "frontend/commands.h"
#include "relay/relay.h"

namespace {

// A standard descriptor that the caller left closed is taken by the null device,
// opened the wrong way round: reading or writing it still fails as on a closed
// descriptor, but no socket or file opened later can get its number. (The app's
// socket on descriptor 1 would otherwise receive what is meant for the agent.)
void reserveStandardDescriptors() {
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int null = open("/dev/null", (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quillore;
  reserveStandardDescriptors();
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
