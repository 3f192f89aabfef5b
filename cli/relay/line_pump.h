// The relay's reader of the app's connection. It frames lines exactly as LineReader
// does (LF-ended; the unterminated rest at the end; a read error counts as the end),
// returns each line as a view into its own buffer instead of a copy, and can let a
// long line go on while it is still arriving, so a 20 MB result does not wait for its
// last byte before its first one is passed on.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillore {

// Where a long line may go while it arrives.
class LineSink {
 public:
  virtual ~LineSink() = default;
  // Asked once per line that has grown past the pump's threshold without an LF:
  // true to receive its bytes from now on.
  virtual bool begin() = 0;
  // The next bytes of the line, in order, never its LF. False when they could not
  // be passed on: the pump stops and returns what it has.
  virtual bool piece(std::string_view bytes) = 0;
};

class LinePump {
 public:
  // Every read has room for at least this much.
  static constexpr size_t chunkSize = 65536;
  // A buffer grown past this by a long line is given back once it is empty.
  static constexpr size_t keptCapacity = size_t(4) << 20;

  struct Line {
    std::string_view bytes;   // without the LF; valid until the next call
    bool streamed = false;    // the sink took the line's bytes as they came
    bool sinkFailed = false;  // the sink refused a piece; `bytes` is what had arrived
  };

  // Lines longer than `streamAfter` bytes are offered to the sink.
  explicit LinePump(int fd, size_t streamAfter = size_t(1) << 20);

  std::optional<Line> next(LineSink& sink);

 private:
  bool readMore();  // false at the end of input

  int fd_;
  size_t streamAfter_;
  // Reads go straight into this buffer, after the bytes not yet returned, which start
  // at `start_`: a line costs no copy of its own, and a long one no copy per read.
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  std::unique_ptr<char, Free> data_;
  size_t capacity_ = 0;
  size_t size_ = 0;
  size_t start_ = 0;
  size_t scanned_ = 0;   // bytes after `start_` known to hold no LF
  size_t passedOn_ = 0;  // bytes after `start_` already given to the sink
  bool ended_ = false;
};

}  // namespace quillore
