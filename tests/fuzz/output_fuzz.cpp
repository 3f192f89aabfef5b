// Printing a tool result (output(), which ends the process) with generated results,
// tool names and image directories. The target is linked with --wrap=_exit, so the
// end of the run comes back here as an exception with its exit status, and standard
// output goes to an in-memory file while output() runs. Whatever the result:
// - the run ends with 0, 1 or 2, having written exactly one JSON object and one LF;
// - a tool error (exit 1) writes no file;
// - written images are exactly the files listed under "images", all directly inside
//   the image directory, whatever the tool's name;
// - nothing is written anywhere else.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include "connection/json.h"
#include "frontend/output.h"

namespace fs = std::filesystem;
using quillore::json;

namespace {

struct ProcessEnded {
  int status;
};

[[noreturn]] void broken(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "output: %s %s\n", what, detail.c_str());
  std::abort();
}

const fs::path& base() {
  static const fs::path dir = [] {
    char name[] = "/tmp/quillore-output-fuzz-XXXXXX";
    if (!mkdtemp(name)) broken("no temporary directory");
    fs::path made(name);
    fs::current_path(made);  // relative image directories land in here
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(base(), ignored);
    });
    return made;
  }();
  return dir;
}

std::set<fs::path> filesUnder(const fs::path& dir) {
  std::set<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (!entry.is_directory()) files.insert(entry.path());
  return files;
}

// Runs output() with descriptor 1 on an in-memory file; its status and output.
std::pair<int, std::string> capture(const json& result, const std::string& tool,
                                    const std::optional<std::string>& outDir) {
  std::fflush(stdout);
  int saved = ::dup(STDOUT_FILENO);
  int memory = ::memfd_create("stdout", 0);
  if (saved < 0 || memory < 0 || ::dup2(memory, STDOUT_FILENO) < 0) broken("no output capture");
  int status = -1;
  try {
    quillore::output(result, tool, outDir);
  } catch (const ProcessEnded& ended) {
    status = ended.status;
  }
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::string text(size_t(::lseek(memory, 0, SEEK_END)), '\0');
  if (::pread(memory, text.data(), text.size(), 0) != ssize_t(text.size())) broken("output lost");
  ::close(memory);
  if (status < 0) broken("output() returned");
  return {status, text};
}

}  // namespace

extern "C" [[noreturn]] void __wrap__exit(int status) { throw ProcessEnded{status}; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const fs::path run = base() / "run";
  std::error_code ignored;
  fs::remove_all(run, ignored);
  fs::create_directories(run);

  // First byte: where the images go. Then the tool's name up to the first LF, then
  // the result object.
  std::optional<std::string> outDir;
  fs::path expectedDir;
  switch (data[0] % 4) {
    case 0:
      outDir = run.string();
      expectedDir = run;
      break;
    case 1:
      outDir = (run / "new" / "sub" / ".." / "deeper").string();
      expectedDir = run / "new" / "deeper";
      break;
    case 2: {
      std::FILE* file = std::fopen((run / "file").c_str(), "w");
      if (file) std::fclose(file);
      outDir = (run / "file").string();  // not a directory: images cannot be written
      expectedDir = run / "file";
      break;
    }
    case 3:
      outDir = "run/./relative/";
      expectedDir = run / "relative";
      break;
  }
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t lf = rest.find('\n');
  if (lf == std::string_view::npos) return 0;
  // Tool names come from the app's JSON, so they are always valid UTF-8.
  const std::string tool = quillore::validUtf8(rest.substr(0, lf));
  auto result = quillore::parseObject(rest.substr(lf + 1));
  if (!result) return 0;
  const std::set<fs::path> before = filesUnder(base());

  auto [status, text] = capture(*result, tool, outDir);

  if (status < 0 || status > 2) broken("exit status", std::to_string(status));
  if (text.empty() || text.back() != '\n') broken("output without its final LF", text);
  if (text.find('\0') != std::string::npos) broken("a NUL byte on the output", text);
  json printed = json::parse(text.begin(), text.end() - 1, nullptr, false);
  if (!printed.is_object()) broken("the output is not one JSON object", text);

  std::set<fs::path> written;
  for (const auto& file : filesUnder(base()))
    if (!before.count(file)) written.insert(file);
  if (status == 1) {
    if (!written.empty()) broken("a tool error wrote files");
    if (printed.size() != 1 || !printed.contains("error") || !printed["error"].is_string()) broken("tool error", text);
    return 0;
  }
  if (status == 2) {
    if (!printed["error"].is_string() || printed["error"].get<std::string>().rfind("Can't write", 0) != 0)
      broken("exit 2 without a write failure", text);
    return 0;
  }
  bool images = false;
  if (auto content = result->find("content"); content != result->end() && content->is_array()) {
    bool objects = true;
    for (const auto& item : *content) objects = objects && item.is_object();
    for (const auto& item : *content) images = images || (objects && item.contains("type") && item["type"] == "image");
  }
  std::set<fs::path> listed;
  if (images) {
    if (!printed.contains("images") || !printed["images"].is_array()) broken("images without a list", text);
    for (const auto& entry : printed["images"]) {
      if (!entry.is_object() || !entry.contains("path") || !entry["path"].is_string()) broken("an image entry", text);
      fs::path path(entry["path"].get<std::string>());
      if (path.parent_path() != expectedDir) broken("an image outside its directory", path.string());
      listed.insert(path);
    }
  }
  if (listed != written) broken("written files differ from the listed ones", text);
  return 0;
}
