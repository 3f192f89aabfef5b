// Modification times of directory entries, read without following links.
#pragma once

#include <ctime>
#include <optional>
#include <string>

namespace quillore {

// The entry's own modification time (a link's, not its target's), or nothing when
// it can't be read.
std::optional<timespec> linkModificationTime(const std::string& path);

}  // namespace quillore
