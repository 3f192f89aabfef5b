#include "connection/reach.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "connection/transport.h"
#include "entry/settings.h"

extern char** environ;

namespace quillore {

std::string Reach::reason() const {
  using enum Case;
  switch (kind) {
    case connected: return "";
    case notInstalled:
      return "Quillore is not installed. Ask the user to install it from " + productWebAddress() +
             " and turn on Settings \u2192 AI agents.";
    case notRunning:
      return "Quillore is not running. Ask the user to open Quillore and turn on Settings \u2192 AI agents, then "
             "try again.";
    case agentsOff:
      return "Quillore is open but not accepting AI agents. Ask the user to turn on Settings \u2192 AI agents in "
             "Quillore, then try again.";
  }
  return "";
}

int runQuietly(const std::string& path, const std::vector<std::string>& arguments) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  int started = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (started != 0) return -1;

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return -1;
}

ReachSetup standardReachSetup() {
  ReachSetup setup;
  setup.sockPath = sockPath();
  setup.noLaunch = noLaunch();
  setup.processCheck = processCheck();
  setup.launcher = appLauncher(bundleId());
  return setup;
}

Reach reachApp(Launch launch) { return reachApp(launch, standardReachSetup()); }

Reach reachApp(Launch launch, const ReachSetup& setup) {
  if (Descriptor socket = connectSocket(setup.sockPath)) return Reach::connectedTo(std::move(socket));
  if (setup.noLaunch) return {Reach::Case::notRunning};

  auto wait = setup.runningWait;
  if (runQuietly(setup.processCheck.path, setup.processCheck.arguments) != 0) {
    if (launch == Launch::forbidden) return {Reach::Case::notRunning};
    if (runQuietly(setup.launcher.path, setup.launcher.arguments) != 0) return {Reach::Case::notInstalled};
    wait = setup.launchedWait;
  }

  auto deadline = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(setup.pollInterval);
    if (Descriptor socket = connectSocket(setup.sockPath)) return Reach::connectedTo(std::move(socket));
  }
  return {Reach::Case::agentsOff};
}

}  // namespace quillore
