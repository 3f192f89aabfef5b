// LineReader against a peer that writes the same bytes in arbitrary pieces: whatever
// the pieces, the lines must be exactly the input split at each LF (an unterminated
// rest is the last line), followed by nothing, and nothing again on a further call.
//
// Input: a sequence of writes. An op byte below 0x80 writes the next op+1 input bytes
// as they are; an op byte of 0x80 or above writes ((op & 0x7f) + 1) · 512 copies of
// the byte that follows, so lines longer than the reader's 64 KiB buffer are cheap.
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

namespace {

constexpr size_t maxStream = size_t(4) << 20;

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "line reader: %s\n", what);
  std::abort();
}

std::vector<std::string> writesFrom(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<std::string> writes;
  size_t total = 0;
  while (input.remaining_bytes() > 0 && total < maxStream) {
    uint8_t op = input.ConsumeIntegral<uint8_t>();
    std::string piece;
    if (op & 0x80) {
      piece.assign((size_t(op & 0x7f) + 1) * 512, char(input.ConsumeIntegral<uint8_t>()));
    } else {
      piece = input.ConsumeBytesAsString(size_t(op) + 1);
    }
    if (piece.empty()) break;  // a zero-byte message would read as end of input
    total += piece.size();
    writes.push_back(std::move(piece));
  }
  return writes;
}

std::vector<std::string> expectedLines(const std::string& stream) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < stream.size()) {
    size_t lf = stream.find('\n', start);
    if (lf == std::string::npos) {
      lines.push_back(stream.substr(start));
      break;
    }
    lines.push_back(stream.substr(start, lf - start));
    start = lf + 1;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> writes = writesFrom(data, size);
  std::string stream;
  for (const auto& piece : writes) stream += piece;

  // A packet socket keeps every write a read of its own, so the pieces the reader
  // sees are exactly the pieces written, independent of thread timing. Other
  // systems fall back to a stream socket: the pieces may merge, the check holds.
  int fds[2];
#ifdef __linux__
  const int type = SOCK_SEQPACKET;
#else
  const int type = SOCK_STREAM;
#endif
  if (::socketpair(AF_UNIX, type, 0, fds) != 0) broken("no socket pair");
  std::thread writer([&] {
    for (const auto& piece : writes)
      if (!quillore::writeAll(fds[1], piece)) broken("write failed");
    ::close(fds[1]);
  });

  quillore::LineReader reader(fds[0]);
  std::vector<std::string> expected = expectedLines(stream);
  size_t index = 0;
  while (auto line = reader.next()) {
    if (index >= expected.size()) broken("more lines than the input holds");
    if (*line != expected[index]) broken("a line differs from the input");
    ++index;
  }
  if (index != expected.size()) broken("lines went missing");
  if (reader.next()) broken("a line after the end");
  writer.join();
  ::close(fds[0]);
  return 0;
}
