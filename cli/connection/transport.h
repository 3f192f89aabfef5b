// The bytes between the bridge and its peers: a Unix-domain socket connection, whole
// writes, and LF-framed lines.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connection/descriptor.h"

namespace quillore {

// The longest socket path tried, in UTF-8 bytes, on every platform.
inline constexpr size_t maxSocketPathBytes = 103;

// A connected, blocking Unix-domain stream socket, or an empty Descriptor (no such
// socket, refused, path too long, …).
Descriptor connectSocket(const std::string& path);

// Writes every byte, continuing short writes and retrying EINTR. False on any other
// error or a zero-byte write. An empty buffer is true without a write.
bool writeAll(int fd, std::string_view data);

// Splits what arrives on a descriptor into lines ended by LF. Used by one thread;
// never closes its descriptor.
class LineReader {
 public:
  static constexpr size_t chunkSize = 65536;

  explicit LineReader(int fd);

  // The next line without its LF; the unterminated rest at end of input; then
  // nothing. A read error other than EINTR counts as end of input.
  std::optional<std::string> next();

 private:
  int fd_;
  // Bytes received and not yet returned start at `start_`: taking a line moves the
  // start instead of copying the rest, so many short lines in one read cost no more
  // than their own bytes. The consumed front is dropped when it outweighs the rest.
  std::string buf_;
  size_t start_ = 0;
  size_t scanned_ = 0;  // bytes after `start_` known to hold no LF
  std::vector<char> chunk_;
};

}  // namespace quillore
