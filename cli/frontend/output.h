// The one "tools/call" of a run and the object it prints; images become files.
#pragma once

#include <optional>
#include <string>

#include "connection/client.h"
#include "connection/json.h"
#include "frontend/tool.h"

namespace quillore {

// Calls `tool` with `input` and ends the run with what comes back: a protocol error
// as {"error": …} with exit 2 (-32602), 3 (-32000) or 1, else the printed result.
[[noreturn]] void callTool(Client& client, const Tool& tool, const json& input,
                           const std::optional<std::string>& outDir);

// Prints a tool result and ends the run: a tool error (exit 1); images written as
// files and listed under "images"; a single JSON text as it is; the structured
// content; or {"text": …}. `toolName` is the name the app listed. Image data is
// decoded inside `result`, which is why it is taken by value (moved in by callTool).
[[noreturn]] void output(json result, const std::string& toolName, const std::optional<std::string>& outDir);

// `path` made absolute (from the working directory) with "." and ".." resolved and
// no trailing slash; the empty path is the working directory.
std::string absoluteNormalised(const std::string& path);

// The start of an image file's name: the tool name with path separators and NUL
// replaced (so the name stays one file inside the image directory), the local time
// as yyyyMMdd-HHmmss, and the process id.
std::string imageStem(const std::string& toolName, time_t now, long pid);

}  // namespace quillore
