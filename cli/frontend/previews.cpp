#include "frontend/previews.h"

#include <filesystem>
#include <system_error>

#include "entry/settings.h"
#include "frontend/file_time.h"

namespace quillore {

const std::string& previewDir() {
  static const std::string value = homeDirectory() + "/Library/Caches/Quillore/agent-previews";
  return value;
}

namespace {

bool earlier(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

void clearOldPreviews(const std::string& directory) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::directory_iterator entries(directory, error);
  if (error) return;

  timespec cutoff{};
  clock_gettime(CLOCK_REALTIME, &cutoff);
  cutoff.tv_sec -= previewMaxAgeSeconds;

  for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
    const std::string path = directory + "/" + entries->path().filename().string();
    auto modified = linkModificationTime(path);
    if (!modified || !earlier(*modified, cutoff)) continue;
    std::error_code ignored;
    fs::remove_all(path, ignored);  // a link goes as a link; a directory with its contents
  }
}

}  // namespace quillore
