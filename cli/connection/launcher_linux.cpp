#include "connection/launcher.h"

namespace quillore {

ProgramCall processCheck() { return {"/usr/bin/pgrep", {"-x", "Quillore"}}; }

// The app's desktop entry is named after its bundle identifier
// (app.quillore.Quillore.desktop); gtk-launch starts it and returns at once.
ProgramCall appLauncher(const std::string& appId) { return {"/usr/bin/gtk-launch", {appId}}; }

}  // namespace quillore
