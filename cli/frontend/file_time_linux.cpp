#include "frontend/file_time.h"

#include <sys/stat.h>

namespace quillore {

std::optional<timespec> linkModificationTime(const std::string& path) {
  struct stat attributes;
  if (::lstat(path.c_str(), &attributes) != 0) return std::nullopt;
  return attributes.st_mtim;
}

}  // namespace quillore
