// The command line of quillore-finish and the flow of one run.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace finish {

inline constexpr std::string_view usageText =
    "usage: quillore-finish --mode M --strength S --out OUT BASE DARK [BRIGHT]";

// Writes the message and a line feed to standard error and ends the process with
// status 1.
[[noreturn]] void fail(std::string_view message);

// Takes the first element of `args` equal to `name` and the element after it out
// of `args`, and returns that value. Nothing is taken when the name is absent or
// is the last element.
std::optional<std::string> opt(std::vector<std::string>& args, std::string_view name);

// Option values; text that does not parse gives the default.
int parseStrength(const std::optional<std::string>& text);    // 1…3, default 2
float parseSky(const std::optional<std::string>& text);       // default 0.45
double parseQuality(const std::optional<std::string>& text);  // default 0.95

// The timing line, without its line feed: "<mode> <w>×<h> in <seconds> s".
std::string timingLine(std::string_view mode, int w, int h, double seconds);

// Runs the program on the arguments after its name; never returns.
[[noreturn]] void run(std::vector<std::string> args);

}  // namespace finish
