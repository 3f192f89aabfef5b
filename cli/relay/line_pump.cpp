#include "relay/line_pump.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace quillore {

LinePump::LinePump(int fd, size_t streamAfter) : fd_(fd), streamAfter_(streamAfter) {}

bool LinePump::readMore() {
  if (ended_) return false;
  if (capacity_ - size_ < chunkSize) {
    size_t pending = size_ - start_;
    if (start_ > 0 && start_ >= pending) {
      // The consumed front is at least as large as what is left: moving the rest to
      // the start is paid for by the lines already returned.
      std::memmove(data_.get(), data_.get() + start_, pending);
      size_ = pending;
      start_ = 0;
    }
    if (capacity_ - size_ < chunkSize) {
      // Grown in place where the allocator can (large blocks are remapped, not
      // copied), so a long line is not held twice while its buffer grows.
      size_t capacity = std::max({2 * capacity_, size_ + chunkSize, 2 * chunkSize});
      char* grown = static_cast<char*>(std::realloc(data_.get(), capacity));
      if (!grown) throw std::bad_alloc();
      data_.release();
      data_.reset(grown);
      capacity_ = capacity;
    }
  }
  ssize_t n;
  do {
    n = ::read(fd_, data_.get() + size_, capacity_ - size_);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    ended_ = true;
    return false;
  }
  size_ += size_t(n);
  return true;
}

std::optional<LinePump::Line> LinePump::next(LineSink& sink) {
  if (start_ == size_) {
    // The previous line's view is no longer needed.
    start_ = size_ = 0;
    if (capacity_ > keptCapacity) {
      data_.reset();
      capacity_ = 0;
    }
  }
  bool streaming = false;
  bool offered = false;  // the sink is asked once per line
  passedOn_ = 0;
  for (;;) {
    const char* begin = data_.get() + start_;
    size_t pending = size_ - start_;
    const void* lf = pending > scanned_ ? std::memchr(begin + scanned_, '\n', pending - scanned_) : nullptr;
    size_t length = lf ? size_t(static_cast<const char*>(lf) - begin) : pending;
    if (streaming && length > passedOn_) {
      if (!sink.piece({begin + passedOn_, length - passedOn_})) {
        start_ += lf ? length + 1 : length;
        scanned_ = 0;
        return Line{.bytes = {begin, length}, .streamed = true, .sinkFailed = true};
      }
      passedOn_ = length;
    }
    if (lf) {
      start_ += length + 1;
      scanned_ = 0;
      return Line{.bytes = {begin, length}, .streamed = streaming};
    }
    scanned_ = pending;
    if (!offered && pending > streamAfter_) {
      offered = true;
      if (sink.begin()) {
        streaming = true;
        continue;
      }
    }
    if (!readMore()) break;
  }
  // The end of input: what is left is the last line, without its LF.
  size_t pending = size_ - start_;
  scanned_ = 0;
  if (pending == 0 && !streaming) return std::nullopt;
  Line last{.bytes = {data_.get() + start_, pending}, .streamed = streaming};
  start_ = size_;
  return last;
}

}  // namespace quillore
