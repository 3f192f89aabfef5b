// How this platform finds the running app and starts it in the background.
#pragma once

#include <string>
#include <vector>

namespace quillore {

struct ProgramCall {
  std::string path;
  std::vector<std::string> arguments;  // without the program's name
};

// Exit status 0 when a process named exactly "Quillore" runs.
ProgramCall processCheck();

// Exit status 0 when the platform accepted to start the app identified by
// `appId`, in the background and without bringing it to the front.
ProgramCall appLauncher(const std::string& appId);

}  // namespace quillore
