// Command-line mode.
#pragma once

#include <string>
#include <vector>

namespace quillore {

// Runs one command line (the arguments after the program's name) and ends the process.
[[noreturn]] void runCLI(const std::vector<std::string>& arguments);

}  // namespace quillore
