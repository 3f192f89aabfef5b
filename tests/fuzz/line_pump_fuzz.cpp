// The relay's LinePump against a peer that writes the same bytes in arbitrary pieces,
// with a sink that takes long lines while they arrive: every line must come back as
// the input split at each LF (an unterminated rest is the last line), and a streamed
// line's pieces must add up to exactly that line.
//
// Input: one byte for the streaming threshold and one for the sink's choices, then
// writes as in the line reader's target: an op byte below 0x80 writes the next op+1
// input bytes, 0x80 and above writes ((op & 0x7f) + 1) · 512 copies of the next byte.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "connection/transport.h"
#include "relay/line_pump.h"

namespace {

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "line pump: %s\n", what);
  std::abort();
}

struct Sink : quillore::LineSink {
  uint8_t choices;
  int offers = 0;
  std::string taken;
  bool open = false;
  explicit Sink(uint8_t c) : choices(c) {}
  bool begin() override {
    open = (choices >> (offers++ % 8)) & 1;
    taken.clear();
    return open;
  }
  bool piece(std::string_view bytes) override {
    if (!open) broken("a piece without an accepted offer");
    if (bytes.empty()) broken("an empty piece");
    if (bytes.find('\n') != std::string_view::npos) broken("a piece holds an LF");
    taken.append(bytes);
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const size_t streamAfter = input.ConsumeIntegralInRange<size_t>(0, 200000);
  Sink sink(input.ConsumeIntegral<uint8_t>());
  std::vector<std::string> writes;
  std::string stream;
  while (input.remaining_bytes() > 0 && stream.size() < (size_t(4) << 20)) {
    uint8_t op = input.ConsumeIntegral<uint8_t>();
    std::string piece = op & 0x80 ? std::string((size_t(op & 0x7f) + 1) * 512, char(input.ConsumeIntegral<uint8_t>()))
                                  : input.ConsumeBytesAsString(size_t(op) + 1);
    if (piece.empty()) break;
    stream += piece;
    writes.push_back(std::move(piece));
  }
  std::vector<std::string> expected;
  for (size_t start = 0; start < stream.size();) {
    size_t lf = stream.find('\n', start);
    if (lf == std::string::npos) lf = stream.size();
    expected.push_back(stream.substr(start, lf - start));
    start = lf + 1;
  }

  int fds[2];
#ifdef __linux__
  const int type = SOCK_SEQPACKET;  // each write is one read: the pieces are exactly these
#else
  const int type = SOCK_STREAM;
#endif
  if (::socketpair(AF_UNIX, type, 0, fds) != 0) broken("no socket pair");
  std::thread writer([&] {
    for (const auto& piece : writes)
      if (!quillore::writeAll(fds[1], piece)) broken("write failed");
    ::close(fds[1]);
  });

  quillore::LinePump pump(fds[0], streamAfter);
  size_t index = 0;
  while (auto line = pump.next(sink)) {
    if (index >= expected.size()) broken("more lines than the input holds");
    if (line->sinkFailed) broken("the sink never refuses");
    if (line->streamed) {
      if (!sink.open) broken("streamed without an accepted offer");
      if (sink.taken != expected[index]) broken("the streamed pieces differ from the line");
    }
    if (line->bytes != expected[index]) broken("a line differs from the input");
    sink.open = false;
    ++index;
  }
  if (index != expected.size()) broken("lines went missing");
  if (pump.next(sink)) broken("a line after the end");
  writer.join();
  ::close(fds[0]);
  return 0;
}
