#include "connection/transport.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using quillore::connectSocket;
using quillore::Descriptor;
using quillore::LineReader;
using quillore::writeAll;

namespace {

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    closeWrite();
    if (read >= 0) ::close(read);
  }
  void closeWrite() {
    if (write >= 0) ::close(write);
    write = -1;
  }
};

std::vector<std::optional<std::string>> readAll(LineReader& reader, size_t atMost = 100) {
  std::vector<std::optional<std::string>> lines;
  while (lines.size() < atMost) {
    lines.push_back(reader.next());
    if (!lines.back()) break;
  }
  return lines;
}

using Lines = std::vector<std::optional<std::string>>;

struct FramingCase {
  const char* name;
  std::string input;
  Lines expected;
};

void PrintTo(const FramingCase& c, std::ostream* os) { *os << c.name; }

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, SplitsInputIntoLines) {
  const auto& c = GetParam();
  Pipe pipe;
  ASSERT_TRUE(writeAll(pipe.write, c.input));
  pipe.closeWrite();
  LineReader reader(pipe.read);
  EXPECT_EQ(readAll(reader), c.expected);
  EXPECT_EQ(reader.next(), std::nullopt) << "a further call after the end reads again and finds nothing";
}

INSTANTIATE_TEST_SUITE_P(Table, Framing,
                         ::testing::Values(FramingCase{"two_lines", "a\nb\n", {"a", "b", std::nullopt}},
                                           FramingCase{"unterminated_last_line", "a\nb", {"a", "b", std::nullopt}},
                                           FramingCase{"empty_lines", "\n\n", {"", "", std::nullopt}},
                                           FramingCase{"empty_input", "", {std::nullopt}},
                                           FramingCase{"carriage_return_stays", "{}\r\n", {"{}\r", std::nullopt}},
                                           FramingCase{"leading_empty_line", "\nx", {"", "x", std::nullopt}},
                                           FramingCase{"bytes_after_nul",
                                                       std::string("a\0b\nc\n", 6),
                                                       {std::string("a\0b", 3), "c", std::nullopt}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LineReader, LongLineOverManyReadsComesBackWhole) {
  Pipe pipe;
  std::string line(200000, 'x');
  for (size_t i = 0; i < line.size(); i += 997) line[i] = char('a' + i % 26);
  std::thread writer([&] {
    // Small pieces with pauses, so the reader sees many partial reads.
    for (size_t at = 0; at < line.size(); at += 7000) {
      writeAll(pipe.write, std::string_view(line).substr(at, 7000));
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    writeAll(pipe.write, "\nnext\n");
    pipe.closeWrite();
  });
  LineReader reader(pipe.read);
  EXPECT_EQ(reader.next(), line);
  EXPECT_EQ(reader.next(), "next");
  EXPECT_EQ(reader.next(), std::nullopt);
  writer.join();
}

TEST(LineReader, ManyShortLinesInOneReadNeedNoFurtherRead) {
  Pipe pipe;
  std::string input;
  for (int i = 0; i < 5000; ++i) input += std::to_string(i) + "\n";
  // Fits in the pipe buffer, so it arrives in one or two reads.
  ASSERT_LT(input.size(), 65536u);
  ASSERT_TRUE(writeAll(pipe.write, input));
  LineReader reader(pipe.read);
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(reader.next(), std::to_string(i));
  // The write end is still open: a further call would block, so the lines above
  // came without waiting for more input.
  pipe.closeWrite();
  EXPECT_EQ(reader.next(), std::nullopt);
}

TEST(LineReader, InterruptedReadIsRetriedWithoutLoss) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  action.sa_flags = 0;  // no SA_RESTART: a blocked read fails with EINTR
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  Pipe pipe;
  std::atomic<bool> done{false};
  std::optional<std::string> first, second, end;
  pthread_t readerThread{};
  std::atomic<bool> started{false};
  std::thread reading([&] {
    readerThread = pthread_self();
    started = true;
    LineReader reader(pipe.read);
    first = reader.next();
    second = reader.next();
    end = reader.next();
    done = true;
  });
  while (!started) std::this_thread::yield();
  writeAll(pipe.write, "par");
  for (int i = 0; i < 20 && !done; ++i) {
    pthread_kill(readerThread, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  writeAll(pipe.write, "tial\nsecond\n");
  for (int i = 0; i < 5 && !done; ++i) {
    pthread_kill(readerThread, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pipe.closeWrite();
  reading.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(first, "partial");
  EXPECT_EQ(second, "second");
  EXPECT_EQ(end, std::nullopt);
}

TEST(LineReader, ReadErrorCountsAsEndOfInput) {
  LineReader reader(-1);  // EBADF
  EXPECT_EQ(reader.next(), std::nullopt);
}

TEST(WriteAll, EmptyBufferIsTrueWithoutWriting) {
  EXPECT_TRUE(writeAll(-1, ""));  // a write to -1 would fail
}

TEST(WriteAll, ClosedPeerGivesFalseAndTheProcessGoesOn) {
  auto previous = signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ::close(fds[1]);
  EXPECT_FALSE(writeAll(fds[0], "hello\n"));
  ::close(fds[0]);
  signal(SIGPIPE, previous);
}

TEST(WriteAll, LargeBufferArrivesWholeThroughShortWrites) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  int small = 4096;
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::string data(3 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + i / 4096);
  std::string received;
  std::thread reader([&] {
    char buffer[1000];
    ssize_t n;
    while ((n = ::read(fds[1], buffer, sizeof buffer)) > 0) received.append(buffer, size_t(n));
  });
  EXPECT_TRUE(writeAll(fds[0], data));
  ::close(fds[0]);
  reader.join();
  ::close(fds[1]);
  EXPECT_EQ(received, data);
}

// A listening socket at a path of a chosen length.
struct Listener {
  std::string dir, path;
  int fd = -1;
  explicit Listener(size_t pathLength) {
    char pattern[] = "/tmp/qlXXXXXX";
    dir = mkdtemp(pattern);
    path = dir + "/";
    path += std::string(pathLength - path.size(), 's');
    fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path.size();
    EXPECT_EQ(::listen(fd, 8), 0);
  }
  ~Listener() {
    ::close(fd);
    ::unlink(path.c_str());
    ::rmdir(dir.c_str());
  }
};

TEST(ConnectSocket, PathOf103BytesIsTried) {
  Listener listener(103);
  Descriptor socket = connectSocket(listener.path);
  ASSERT_TRUE(socket);
  ASSERT_TRUE(writeAll(socket.fd(), "ping\n"));
  Descriptor accepted(::accept(listener.fd, nullptr, nullptr));
  ASSERT_TRUE(accepted);
  LineReader reader(accepted.fd());
  EXPECT_EQ(reader.next(), "ping");
}

TEST(ConnectSocket, PathOf104BytesIsRefusedWithoutAnAttempt) {
  // Linux could reach this socket (its path field has 108 bytes); the limit holds anyway.
  Listener listener(104);
  EXPECT_FALSE(connectSocket(listener.path));
}

TEST(ConnectSocket, FailuresGiveNothingAndLeakNoDescriptor) {
  int before = ::dup(0);
  ::close(before);
  EXPECT_FALSE(connectSocket("/tmp/no-such-dir-ql/agent.sock"));
  EXPECT_FALSE(connectSocket(""));
  EXPECT_FALSE(connectSocket("/etc/hostname"));  // not a socket
  int after = ::dup(0);
  ::close(after);
  EXPECT_EQ(before, after) << "the socket is closed on every failure";
}

}  // namespace
