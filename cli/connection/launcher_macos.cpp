#include "connection/launcher.h"

namespace quillore {

ProgramCall processCheck() { return {"/usr/bin/pgrep", {"-x", "Quillore"}}; }

ProgramCall appLauncher(const std::string& appId) { return {"/usr/bin/open", {"-g", "-b", appId}}; }

}  // namespace quillore
