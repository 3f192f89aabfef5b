#include "entry/settings.h"

#include <pwd.h>
#include <unistd.h>

#include <mutex>

extern char** environ;

namespace quillore {
namespace {

std::mutex commandLineLock;
std::vector<std::string> commandLine;  // argv, program name included

std::vector<std::string> commandLineCopy() {
  std::lock_guard<std::mutex> guard(commandLineLock);
  return commandLine;
}

std::string lastPathComponent(const std::string& path) {
  // Treated as a file path: trailing slashes do not count, "/" stays "/".
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? path : "/";
  size_t start = path.rfind('/', end);
  return path.substr(start == std::string::npos ? 0 : start + 1,
                     end + 1 - (start == std::string::npos ? 0 : start + 1));
}

}  // namespace

void setCommandLine(int argc, const char* const* argv) {
  std::lock_guard<std::mutex> guard(commandLineLock);
  commandLine.clear();
  for (int i = 0; i < argc; ++i) commandLine.emplace_back(argv[i] ? argv[i] : "");
}

const std::map<std::string, std::string>& environment() {
  static const std::map<std::string, std::string> value = [] {
    std::map<std::string, std::string> env;
    for (char** entry = environ; entry && *entry; ++entry) {
      std::string pair(*entry);
      size_t eq = pair.find('=');
      if (eq == std::string::npos) continue;
      env.emplace(pair.substr(0, eq), pair.substr(eq + 1));  // the first of duplicates wins
    }
    return env;
  }();
  return value;
}

std::string homeDirectory() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) buffer.resize(buffer.size() * 2);
  if (found && found->pw_dir) return found->pw_dir;
  return "/";
}

const std::string& sockPath() {
  static const std::string value = [] {
    const auto& env = environment();
    auto it = env.find("QL_AGENT_SOCK");
    if (it != env.end()) return it->second;
    return homeDirectory() + "/Library/Application Support/Quillore/agent.sock";
  }();
  return value;
}

bool noLaunch() {
  static const bool value = [] {
    const auto& env = environment();
    auto it = env.find("QL_NO_LAUNCH");
    return it != env.end() && it->second == "1";
  }();
  return value;
}

const Bytes& newline() {
  static const Bytes value("\n");
  return value;
}

const std::string& invokedAs() {
  static const std::string value = [] {
    auto line = commandLineCopy();
    if (line.empty()) return std::string("quillore-cli");
    return lastPathComponent(line.front());
  }();
  return value;
}

const std::string& bundleId() {
  static const std::string value("app.quillore.Quillore");
  return value;
}

const std::string& appVersion() {
  static const std::string value(QUILLORE_VERSION);  // from the top CMakeLists.txt
  return value;
}

const std::string& productWebAddress() {
  static const std::string value("https://quillore.app");
  return value;
}

const std::vector<std::string>& args() {
  static const std::vector<std::string> value = [] {
    auto line = commandLineCopy();
    if (!line.empty()) line.erase(line.begin());
    return line;
  }();
  return value;
}

const std::string& usage() {
  static const std::string value = [] {
    static const char* const pieces[] = {
        ": drive Quillore, which converts Fujifilm RAF files on the user's own camera.\n\nUsage:\n  ",
        " tools                        List the tools, as JSON.\n  ",
        " help <tool>                  One tool's options and input schema, as JSON.\n  ",
        " <tool> [--option value\u2026] [--json '<object>' | --json -]\n  ",
        " call <tool> ['<object>']     The same, with all input as JSON.\n  ",
        " mcp                          Serve MCP on stdin/stdout.\n  ",
        " --version\n\nTool names take _ or - (render_preview, render-preview); options take the input's keys as\n"
        "--photoId or --photo-id. Nested input (render_preview's variants) goes in --json.\n\nOptions:\n"
        "  --json <object>   Tool input as a JSON object; - reads it from stdin. Options override its keys.\n"
        "  --out <dir>       Where images are written (default ~/Library/Caches/Quillore/agent-previews,\n"
        "                    cleared after a day).\n\nOutput is one JSON object on stdout; images come back as "
        "files listed in \"images\".\nExit codes: 0 done, 1 the tool reported an error, 2 usage error, 3 Quillore "
        "can't be reached\n(it is opened in the background when needed; Settings \u2192 AI agents must be on).\n",
    };
    std::string text;
    for (const char* piece : pieces) text += invokedAs() + piece;
    return text;
  }();
  return value;
}

}  // namespace quillore
