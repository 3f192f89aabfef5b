// writeAll and LineReader while signals keep interrupting them: with a handler that
// does not restart system calls, a blocked write fails with EINTR or returns short
// and a blocked read fails with EINTR; every byte still arrives, once, in order.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "connection/transport.h"

using quillore::LineReader;
using quillore::writeAll;

namespace {

std::atomic<int> delivered{0};

struct InterruptingSignal {
  struct sigaction previous {};
  InterruptingSignal() {
    struct sigaction action {};
    action.sa_handler = [](int) { ++delivered; };
    action.sa_flags = 0;  // no SA_RESTART
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR2, &action, &previous);
  }
  ~InterruptingSignal() { sigaction(SIGUSR2, &previous, nullptr); }
};

}  // namespace

TEST(InterruptedTransfer, LinesWrittenAndReadUnderASignalStormArriveWhole) {
  InterruptingSignal handler;
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  int small = 4096;
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

  // Lines of many lengths, some far longer than the socket buffers and the reader's chunk.
  std::string data;
  std::vector<std::string> lines;
  for (int i = 0; i < 60; ++i) {
    std::string line(size_t(i * i * 97 % 300000), char('a' + i % 26));
    lines.push_back(line);
    data += line + "\n";
  }

  std::atomic<bool> finished{false};
  pthread_t writerThread{}, readerThread{};
  std::atomic<int> ready{0};
  bool wrote = false;
  std::vector<std::string> received;
  std::thread writer([&] {
    writerThread = pthread_self();
    ++ready;
    wrote = writeAll(fds[0], data);
    ::close(fds[0]);
  });
  std::thread reader([&] {
    readerThread = pthread_self();
    ++ready;
    LineReader input(fds[1]);
    while (auto line = input.next()) received.push_back(*line);
    finished = true;
  });
  while (ready < 2) std::this_thread::yield();
  delivered = 0;
  while (!finished) {
    pthread_kill(writerThread, SIGUSR2);
    pthread_kill(readerThread, SIGUSR2);
    std::this_thread::yield();
  }
  writer.join();
  reader.join();
  ::close(fds[1]);

  EXPECT_TRUE(wrote);
  EXPECT_GT(delivered.load(), 0);
  ASSERT_EQ(received.size(), lines.size());
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(received[i], lines[i]) << "line " << i;
}
