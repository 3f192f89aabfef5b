#include "relay/line_pump.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "connection/transport.h"

namespace quillore {
namespace {

// Records what it is given; can refuse to stream or fail after some bytes.
struct RecordingSink : LineSink {
  bool accept = true;
  size_t failAfter = SIZE_MAX;
  int begins = 0;
  std::string received;
  std::vector<size_t> pieces;

  bool begin() override {
    ++begins;
    return accept;
  }
  bool piece(std::string_view bytes) override {
    if (received.size() + bytes.size() > failAfter) return false;
    received.append(bytes);
    pieces.push_back(bytes.size());
    return true;
  }
};

struct Result {
  std::vector<std::string> lines;
  std::vector<bool> streamed;
};

// Everything the pump makes of `input`, written in pieces of `step` bytes.
Result pumpAll(const std::string& input, RecordingSink& sink, size_t streamAfter, size_t step = 4096) {
  int fds[2];
  if (::pipe(fds) != 0) abort();
  std::thread writer([&] {
    for (size_t at = 0; at < input.size(); at += step) writeAll(fds[1], std::string_view(input).substr(at, step));
    ::close(fds[1]);
  });
  LinePump pump(fds[0], streamAfter);
  Result result;
  while (auto line = pump.next(sink)) {
    result.lines.emplace_back(line->bytes);
    result.streamed.push_back(line->streamed);
  }
  writer.join();
  ::close(fds[0]);
  return result;
}

TEST(LinePump, FramesLinesAsTheLineReaderDoes) {
  struct Case {
    std::string input;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"", {}},
      {"a\nb\n", {"a", "b"}},
      {"a\nb", {"a", "b"}},
      {"\n\n", {"", ""}},
      {"a\r\n", {"a\r"}},
      {std::string(200'000, 'x') + "\ny\n", {std::string(200'000, 'x'), "y"}},
  };
  for (const auto& c : cases) {
    for (size_t step : {1, 7, 65536}) {
      if (step == 1 && c.input.size() > 1000) continue;
      RecordingSink sink;
      EXPECT_EQ(pumpAll(c.input, sink, 1 << 20, step).lines, c.lines) << "step " << step;
      EXPECT_EQ(sink.begins, 0);
    }
  }
}

TEST(LinePump, PassesALongLineOnWhileItArrives) {
  std::string longLine(300'000, 'L');
  for (size_t i = 0; i < longLine.size(); i += 997) longLine[i] = char('a' + i % 26);
  std::string input = "short\n" + longLine + "\nafter\n" + longLine;  // the last one unterminated
  RecordingSink sink;
  Result result = pumpAll(input, sink, 100'000);
  EXPECT_EQ(result.lines, (std::vector<std::string>{"short", longLine, "after", longLine}));
  EXPECT_EQ(result.streamed, (std::vector<bool>{false, true, false, true}));
  EXPECT_EQ(sink.begins, 2);
  EXPECT_EQ(sink.received, longLine + longLine);  // never an LF
  EXPECT_GT(sink.pieces.size(), 4u);              // in pieces, not at the end
}

TEST(LinePump, KeepsALongLineWholeWhenTheSinkDeclines) {
  std::string longLine(300'000, 'L');
  RecordingSink sink;
  sink.accept = false;
  Result result = pumpAll(longLine + "\nnext\n", sink, 100'000);
  EXPECT_EQ(result.lines, (std::vector<std::string>{longLine, "next"}));
  EXPECT_EQ(result.streamed, (std::vector<bool>{false, false}));
  EXPECT_EQ(sink.begins, 1);  // asked once per line, not once per read
  EXPECT_TRUE(sink.received.empty());
}

TEST(LinePump, StopsWhenTheSinkFails) {
  std::signal(SIGPIPE, SIG_IGN);  // the writer finds the pipe closed
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string longLine(300'000, 'L');
  std::thread writer([&] { writeAll(fds[1], longLine + "\n"); });
  RecordingSink sink;
  sink.failAfter = 150'000;
  LinePump pump(fds[0], 100'000);
  auto line = pump.next(sink);
  ASSERT_TRUE(line);
  EXPECT_TRUE(line->streamed);
  EXPECT_TRUE(line->sinkFailed);
  EXPECT_LE(sink.received.size(), 150'000u);
  ::close(fds[0]);  // the writer may still be blocked on the rest
  writer.join();
  ::close(fds[1]);
}

}  // namespace
}  // namespace quillore
