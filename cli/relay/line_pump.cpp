#include "relay/line_pump.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillore {

LinePump::LinePump(int fd, size_t streamAfter) : fd_(fd), streamAfter_(streamAfter), chunk_(chunkSize) {}

bool LinePump::readMore() {
  if (ended_) return false;
  ssize_t n;
  do {
    n = ::read(fd_, chunk_.data(), chunk_.size());
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    ended_ = true;
    return false;
  }
  if (start_ > 0 && start_ >= buf_.size() - start_) {
    // The consumed front is at least as large as what is left: drop it before the
    // buffer grows, so the move is paid for by the lines already returned.
    buf_.erase(0, start_);
    start_ = 0;
  }
  buf_.append(chunk_.data(), size_t(n));
  return true;
}

std::optional<LinePump::Line> LinePump::next(LineSink& sink) {
  if (start_ == buf_.size()) {
    // The previous line's view is no longer needed.
    buf_.clear();
    start_ = 0;
  }
  bool streaming = false;
  bool offered = false;  // the sink is asked once per line
  passedOn_ = 0;
  for (;;) {
    const char* begin = buf_.data() + start_;
    size_t pending = buf_.size() - start_;
    const void* lf = std::memchr(begin + scanned_, '\n', pending - scanned_);
    size_t length = lf ? size_t(static_cast<const char*>(lf) - begin) : pending;
    if (streaming && length > passedOn_) {
      if (!sink.piece({begin + passedOn_, length - passedOn_})) {
        start_ += lf ? length + 1 : length;
        scanned_ = 0;
        return Line{{begin, length}, true, true, lf != nullptr};
      }
      passedOn_ = length;
    }
    if (lf) {
      start_ += length + 1;
      scanned_ = 0;
      return Line{{begin, length}, streaming, false, true};
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
  size_t pending = buf_.size() - start_;
  scanned_ = 0;
  if (pending == 0 && !streaming) return std::nullopt;
  Line last{{buf_.data() + start_, pending}, streaming, false, false};
  start_ = buf_.size();
  return last;
}

}  // namespace quillore
