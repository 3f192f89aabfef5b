#include "connection/transport.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillore {

Descriptor connectSocket(const std::string& path) {
  Descriptor socket(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!socket) return {};
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);  // a length byte, where there is one, stays 0
  address.sun_family = AF_UNIX;
  static_assert(sizeof address.sun_path > maxSocketPathBytes, "the path is always followed by a zero byte");
  if (path.size() > maxSocketPathBytes) return {};
  std::memcpy(address.sun_path, path.data(), path.size());
  if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return {};
  return socket;
}

bool writeAll(int fd, std::string_view data) {
  size_t position = 0;
  while (position < data.size()) {
    ssize_t written = ::write(fd, data.data() + position, data.size() - position);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) return false;
    position += size_t(written);
  }
  return true;
}

LineReader::LineReader(int fd) : fd_(fd), chunk_(chunkSize, 0) {}

std::optional<std::string> LineReader::next() {
  for (;;) {
    const char* begin = buf_.data() + start_;
    size_t pending = buf_.size() - start_;
    if (const void* lf = std::memchr(begin + scanned_, '\n', pending - scanned_)) {
      size_t length = size_t(static_cast<const char*>(lf) - begin);
      if (start_ == 0 && length + 1 == buf_.size() && length >= chunkSize) {
        // A long line that is all the reader holds (a reply carrying an image): hand
        // the buffer itself over instead of copying it, and start afresh.
        std::string line = std::move(buf_);
        line.resize(length);
        buf_ = std::string();
        scanned_ = 0;
        return line;
      }
      std::string line(begin, length);
      start_ += length + 1;
      scanned_ = 0;
      if (start_ == buf_.size()) {
        buf_.clear();
        start_ = 0;
      }
      return line;
    }
    scanned_ = pending;
    ssize_t n = ::read(fd_, chunk_.data(), chunk_.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (start_ > 0 && start_ >= buf_.size() - start_) {
      // The consumed front is at least as large as what is left: drop it now, before
      // the buffer grows, so the copy is paid for by the lines already returned.
      buf_.erase(0, start_);
      start_ = 0;
    }
    buf_.append(chunk_.data(), size_t(n));
  }
  if (start_ == buf_.size()) {
    buf_.clear();
    start_ = 0;
    scanned_ = 0;
    return std::nullopt;
  }
  std::string last = buf_.substr(start_);
  buf_.clear();
  start_ = 0;
  scanned_ = 0;
  return last;
}

}  // namespace quillore
