// Process-wide settings of the bridge. Each is computed once, on first use, by
// whichever thread gets there first; every later reader sees the same value.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace quillore {

// Byte buffers are std::string: lines, encoded JSON, file contents.
using Bytes = std::string;

// Keeps the command line for `invokedAs` and `args`. The entry calls it first,
// before any setting is read.
void setCommandLine(int argc, const char* const* argv);

const std::map<std::string, std::string>& environment();
// QL_AGENT_SOCK when present (even empty), else the app's socket in the home directory.
const std::string& sockPath();
// True only when QL_NO_LAUNCH is exactly "1".
bool noLaunch();
// The one-byte line terminator, LF.
const Bytes& newline();
// The last path component of the program's name; "quillore-cli" without one.
const std::string& invokedAs();
const std::string& bundleId();
const std::string& appVersion();
// The product's web address, named where the app is missing.
const std::string& productWebAddress();
const std::string& usage();
// The command-line arguments after the program's name.
const std::vector<std::string>& args();

// The current user's home directory, from the user database (not from $HOME).
std::string homeDirectory();

}  // namespace quillore
