// Reaching the app: its socket, whether it runs, starting it, waiting for it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "connection/descriptor.h"
#include "connection/launcher.h"

namespace quillore {

struct Reach {
  enum class Case { connected, notInstalled, notRunning, agentsOff };

  Case kind;
  Descriptor socket{};  // with `connected`: the socket, for the receiver to take

  static Reach connectedTo(Descriptor socket) { return {Case::connected, std::move(socket)}; }
  // The sentence for the user; empty for `connected`.
  std::string reason() const;
};

// Runs `path` with `arguments`, output and errors to the null device; the exit
// status, or -1 when it could not be started (or did not exit normally).
int runQuietly(const std::string& path, const std::vector<std::string>& arguments);

// Everything `reachApp` depends on. The product always uses `standardReachSetup()`;
// tests put their own socket, programs and waits in.
struct ReachSetup {
  std::string sockPath;
  bool noLaunch = false;
  ProgramCall processCheck;
  ProgramCall launcher;
  std::chrono::milliseconds runningWait{2000};
  std::chrono::milliseconds launchedWait{15000};
  std::chrono::milliseconds pollInterval{250};
};

// The settings' socket and switch with this platform's programs.
ReachSetup standardReachSetup();

// Whether reaching the app may start it when it is not running.
enum class Launch { forbidden, allowed };

Reach reachApp(Launch launch);
Reach reachApp(Launch launch, const ReachSetup& setup);

}  // namespace quillore
