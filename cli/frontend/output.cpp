#include "frontend/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string_view>
#include <vector>

#include "connection/descriptor.h"
#include "connection/transport.h"
#include "entry/outcome.h"
#include "entry/settings.h"
#include "frontend/base64.h"
#include "frontend/previews.h"

namespace quillore {
namespace {

// The parts of a tool result that the output reads.
struct ToolResult {
  std::vector<json*> items;  // "content", when it is an array of objects
  bool isError = false;
  const json* structured = nullptr;

  explicit ToolResult(json& result) {
    if (auto content = result.find("content"); content != result.end() && content->is_array()) {
      for (auto& item : *content) {
        if (!item.is_object()) {
          items.clear();
          break;
        }
        items.push_back(&item);
      }
    }
    if (auto flag = result.find("isError"); flag != result.end() && flag->is_boolean()) isError = flag->get<bool>();
    if (auto answer = result.find("structuredContent"); answer != result.end() && answer->is_object())
      structured = &*answer;
  }

  static bool hasType(const json& item, std::string_view type) {
    auto it = item.find("type");
    return it != item.end() && it->is_string() && it->get_ref<const std::string&>() == type;
  }

  // The text of a "text" item, when it has one.
  static const std::string* text(const json& item) {
    if (!hasType(item, "text")) return nullptr;
    auto it = item.find("text");
    return it != item.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
  }

  std::vector<const std::string*> texts() const {
    std::vector<const std::string*> found;
    for (const json* item : items) {
      if (const std::string* t = text(*item)) found.push_back(t);
    }
    return found;
  }

  std::string joinedTexts() const {
    std::string joined;
    bool first = true;
    for (const std::string* t : texts()) {
      if (!first) joined += '\n';
      joined += *t;
      first = false;
    }
    return joined;
  }

  bool hasImages() const {
    for (const json* item : items) {
      if (hasType(*item, "image")) return true;
    }
    return false;
  }
};

std::string joinPath(const std::string& directory, const std::string& name) {
  if (!directory.empty() && directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

// Writes `bytes` to `path`, replacing a file of that name; the system's reason on failure.
std::optional<std::string> writeFile(const std::string& path, std::string_view bytes) {
  Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!file) return std::string(std::strerror(errno));
  std::optional<std::string> failure;
  if (!writeAll(file.fd(), bytes)) failure = std::strerror(errno);
  if (!file.close() && !failure) failure = std::strerror(errno);
  return failure;
}

[[noreturn]] void writeImages(ToolResult& result, const std::string& toolName,
                              const std::optional<std::string>& outDir) {
  const std::string directory = absoluteNormalised(outDir ? *outDir : previewDir());
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error || !std::filesystem::is_directory(directory)) {
    if (!error) error = std::make_error_code(std::errc::not_a_directory);
    fail("Can't write images to " + directory + ": " + error.message(), Exit::usage);
  }
  if (!outDir) clearOldPreviews(directory);

  const std::string stem = imageStem(toolName, std::time(nullptr), long(getpid()));
  json images = json::array();
  const json* previous = nullptr;
  for (json* item : result.items) {
    const json* before = previous;
    previous = item;
    if (!ToolResult::hasType(*item, "image")) continue;
    auto data = item->find("data");
    if (data == item->end() || !data->is_string()) continue;
    // The data is needed only here: decoded where it lies, it costs no second buffer.
    std::string& bytes = data->get_ref<std::string&>();
    if (!decodeBase64InPlace(bytes)) continue;

    auto mime = item->find("mimeType");
    const bool png = mime != item->end() && mime->is_string() && *mime == "image/png";
    const std::string path =
        joinPath(directory, stem + "-" + std::to_string(images.size() + 1) + (png ? ".png" : ".jpg"));
    if (auto reason = writeFile(path, bytes)) fail("Can't write " + path + ": " + *reason, Exit::usage);

    json entry = {{"path", path}};
    if (before) {
      if (const std::string* label = ToolResult::text(*before)) entry["label"] = *label;
    }
    images.push_back(std::move(entry));
  }

  json printed = result.structured ? *result.structured : json::object();
  printed["images"] = std::move(images);
  finish(printed, Exit::ok);
}

}  // namespace

std::string absoluteNormalised(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path full(path);
  if (!full.is_absolute()) {
    std::error_code error;
    fs::path here = fs::current_path(error);
    if (!error) full = here / full;
  }
  std::string text = full.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string imageStem(const std::string& toolName, time_t now, long pid) {
  std::string name = toolName;
  bool onlyDots = true;
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == '\0') c = '_';
    if (c != '.') onlyDots = false;
  }
  if (onlyDots) {
    for (char& c : name) c = '_';  // "." and ".." are not names of files
  }
  tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  return name + "-" + stamp + "-" + std::to_string(pid);
}

[[noreturn]] void output(json result, const std::string& toolName, const std::optional<std::string>& outDir) {
  ToolResult parts(result);
  if (parts.isError) fail(parts.joinedTexts(), Exit::toolError);
  if (parts.hasImages()) writeImages(parts, toolName, outDir);

  auto texts = parts.texts();
  if (texts.size() == 1 && parseObject(*texts.front())) {
    writeAll(STDOUT_FILENO, *texts.front() + newline());
    _exit(int(Exit::ok));
  }
  if (parts.structured) finish(*parts.structured, Exit::ok);
  finish(json{{"text", parts.joinedTexts()}}, Exit::ok);
}

[[noreturn]] void callTool(Client& client, const Tool& tool, const json& input,
                           const std::optional<std::string>& outDir) {
  json reply = client.request("tools/call", json{{"name", tool.name}, {"arguments", input}});
  if (auto error = reply.find("error"); error != reply.end() && error->is_object()) {
    auto message = error->find("message");
    auto code = error->find("code");
    Exit exit = Exit::toolError;
    if (code != error->end() && (code->is_number_integer())) {
      if (*code == -32602) exit = Exit::usage;
      if (*code == -32000) exit = Exit::unreachable;
    }
    fail(message != error->end() && message->is_string() ? message->get<std::string>() : "The call failed", exit);
  }
  auto result = reply.find("result");
  if (result != reply.end() && result->is_object()) output(std::move(*result), tool.name, outDir);
  output(json::object(), tool.name, outDir);
}

}  // namespace quillore
