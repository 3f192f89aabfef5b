// The preview directory: where images go when no --out is given, kept from growing
// by removing what is more than a day old.
#pragma once

#include <string>

namespace quillore {

// The home directory (from the user database) + "/Library/Caches/Quillore/agent-previews".
const std::string& previewDir();

// Entries older than this are removed before new images are written.
inline constexpr long previewMaxAgeSeconds = 86400;

// Removes every entry directly inside `directory` (hidden ones too) whose own
// modification time is more than a day ago: files and links as themselves,
// directories with everything in them. Links are never followed. Never fails;
// an entry that can't be read or removed stays.
void clearOldPreviews(const std::string& directory);

}  // namespace quillore
