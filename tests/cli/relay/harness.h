// An in-process world for the relay: a small app on a Unix-domain socket, an agent
// on two pipes, a clock the test moves and a record of every attempt to reach the app.
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "connection/json.h"
#include "connection/transport.h"
#include "relay/relay.h"

namespace quillore::testing {

using namespace std::chrono_literals;

// Polls `condition` until it holds or `limit` has passed.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 5000ms) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The app: accepts connections, logs every line per connection, answers requests
// with {"result": {"method": …}} (plus 4 MB of "data" for the method "big") except
// those whose method is "hold", which it never answers. Like a simple app, it does
// not read while it writes a reply. It can be stopped (every connection closed) and started again.
class FakeApp {
 public:
  explicit FakeApp(std::string path) : path_(std::move(path)) {}
  ~FakeApp() { stop(); }

  void start() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (listening_ >= 0) return;
    ::unlink(path_.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) abort();
    if (::pipe(wake_) != 0) abort();
    listening_ = fd;
    acceptor_ = std::thread([this, fd, wake = wake_[0]] { acceptLoop(fd, wake); });
  }

  // The app quits: no more connections are accepted, every open one is closed.
  void stop() {
    std::thread acceptor;
    std::vector<std::thread> readers;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (listening_ < 0) return;
      writeAll(wake_[1], "x");
      acceptor = std::move(acceptor_);
    }
    acceptor.join();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      ::close(listening_);
      ::close(wake_[0]);
      ::close(wake_[1]);
      listening_ = -1;
      ::unlink(path_.c_str());
      for (auto& connection : connections_)
        if (connection.fd >= 0) ::shutdown(connection.fd, SHUT_RDWR);
      readers = std::move(readers_);
      readers_.clear();
    }
    for (auto& reader : readers) reader.join();
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto& connection : connections_) {
      if (connection.fd >= 0) ::close(connection.fd);
      connection.fd = -1;
    }
  }

  size_t connectionCount() {
    std::lock_guard<std::mutex> guard(mutex_);
    return connections_.size();
  }

  // The lines received on the n-th connection (0 is the first), so far.
  std::vector<std::string> log(size_t n) {
    std::lock_guard<std::mutex> guard(mutex_);
    return n < connections_.size() ? connections_[n].lines : std::vector<std::string>{};
  }

  bool waitForLines(size_t n, size_t count) {
    return eventually([&] { return log(n).size() >= count; });
  }

  // Waits until the relay's side has closed the n-th connection (before `stop()`,
  // which ends every connection from the app's side).
  bool waitForClose(size_t n) {
    return eventually([&] {
      std::lock_guard<std::mutex> guard(mutex_);
      return n < connections_.size() && connections_[n].closedByRelay;
    });
  }

  // Sends bytes as they are on the latest connection.
  void sendRaw(const std::string& bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!connections_.empty() && connections_.back().fd >= 0) writeAll(connections_.back().fd, bytes);
  }

  // Sends a line on the latest connection.
  void send(const std::string& line) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!connections_.empty() && connections_.back().fd >= 0) writeAll(connections_.back().fd, line + "\n");
  }

 private:
  struct Connection {
    int fd;
    std::vector<std::string> lines;
    bool closedByRelay = false;
  };

  void acceptLoop(int listening, int wake) {
    for (;;) {
      pollfd fds[2] = {{listening, POLLIN, 0}, {wake, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      int fd = ::accept(listening, nullptr, nullptr);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> guard(mutex_);
      size_t index = connections_.size();
      connections_.push_back({fd, {}});
      readers_.emplace_back([this, fd, index] { serve(fd, index); });
    }
  }

  void serve(int fd, size_t index) {
    LineReader reader(fd);
    while (auto line = reader.next()) {
      std::lock_guard<std::mutex> guard(mutex_);
      connections_[index].lines.push_back(*line);
      auto message = parseObject(*line);
      if (!message || !message->contains("method") || !message->contains("id")) continue;
      const auto& method = (*message)["method"];
      if (!method.is_string() || method == "hold" || (*message)["id"].is_null()) continue;
      json result = {{"method", method}};
      if (method == "big") result["data"] = std::string(4'000'000, 'B');  // written without reading meanwhile
      json reply = {{"jsonrpc", "2.0"}, {"id", (*message)["id"]}, {"result", result}};
      writeAll(fd, encode(reply) + "\n");
    }
    std::lock_guard<std::mutex> guard(mutex_);
    if (listening_ >= 0) connections_[index].closedByRelay = true;
  }

  std::string path_;
  std::mutex mutex_;
  int listening_ = -1;
  int wake_[2] = {-1, -1};
  std::thread acceptor_;
  std::vector<std::thread> readers_;
  std::vector<Connection> connections_;
};

// The agent's ends of the relay's input and output.
class Agent {
 public:
  Agent() {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) abort();
    relayInput = Descriptor(in[0]);
    toRelay_ = Descriptor(in[1]);
    fromRelay_ = Descriptor(out[0]);
    relayOutput = Descriptor(out[1]);
  }

  void send(const std::string& line) { writeAll(toRelay_.fd(), line + "\n"); }
  void send(const json& message) { send(encode(message)); }
  void send(const char* line) { send(std::string(line)); }
  void endInput() { toRelay_.close(); }
  void closeOutput() { fromRelay_.close(); }

  // The next line the relay wrote, or nothing when none came within `limit`.
  std::optional<std::string> next(std::chrono::milliseconds limit = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (auto lf = buffer_.find('\n'); lf != std::string::npos) {
        std::string line = buffer_.substr(0, lf);
        buffer_.erase(0, lf + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd fd = {fromRelay_.fd(), POLLIN, 0};
      if (::poll(&fd, 1, int(left.count())) <= 0) continue;
      char chunk[65536];
      ssize_t n = ::read(fromRelay_.fd(), chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, size_t(n));
    }
  }

  std::optional<json> nextMessage(std::chrono::milliseconds limit = 5000ms) {
    auto line = next(limit);
    if (!line) return std::nullopt;
    return parseObject(*line);
  }

  // The relay's ends of the two pipes, for it to read and write.
  Descriptor relayInput, relayOutput;

 private:
  Descriptor toRelay_, fromRelay_;
  std::string buffer_;
};

// A relay serving `agent` on its own thread, reaching `app` through the socket path,
// with a clock that only the test moves.
class RelayUnderTest {
 public:
  explicit RelayUnderTest(const std::string& socketPath) {
    std::signal(SIGPIPE, SIG_IGN);  // as the program's entry does
    world_->relayInput = std::move(agent.relayInput);
    world_->relayOutput = std::move(agent.relayOutput);
    RelayDependencies dependencies;
    dependencies.reach = [world = world_, socketPath](Launch launch) {
      {
        std::lock_guard<std::mutex> guard(world->mutex);
        world->launches.push_back(launch == Launch::allowed);
      }
      if (Descriptor socket = connectSocket(socketPath)) return Reach::connectedTo(std::move(socket));
      return Reach{Reach::Case::notRunning};
    };
    dependencies.now = [world = world_] {
      return Relay::Clock::time_point(std::chrono::milliseconds(world->clockMs.load()));
    };
    dependencies.input = world_->relayInput.fd();
    dependencies.output = world_->relayOutput.fd();
    dependencies.outputGone = [world = world_] { world->outputGone = true; };
    relay_ = std::make_unique<Relay>(std::move(dependencies));
  }

  void start() {
    server_ = std::thread([relay = relay_.get()] { relay->serve(); });
  }

  // Ends the agent's input, waits for the relay's main loop to return and lets the
  // relay go. Its reader threads run on until their connections end.
  void finish() {
    agent.endInput();
    if (server_.joinable()) server_.join();
    relay_.reset();
  }

  ~RelayUnderTest() { finish(); }

  void advanceClock(std::chrono::milliseconds by) { world_->clockMs += by.count(); }

  // Whether each attempt to reach the app was allowed to launch it, in order.
  std::vector<bool> launches() {
    std::lock_guard<std::mutex> guard(world_->mutex);
    return world_->launches;
  }

  bool outputGone() const { return world_->outputGone; }

  Agent agent;

 private:
  // Shared with the relay's hooks. The reader threads hold `outputGone`, so the world,
  // and the relay's ends of the pipes in it, stay as long as any of them runs, even
  // after this object and the relay are gone.
  struct World {
    std::mutex mutex;
    std::vector<bool> launches;
    std::atomic<int64_t> clockMs{1'000'000};
    std::atomic<bool> outputGone{false};
    Descriptor relayInput, relayOutput;
  };
  std::shared_ptr<World> world_ = std::make_shared<World>();
  std::unique_ptr<Relay> relay_;
  std::thread server_;
};

// A fresh directory for one test's socket.
inline std::string temporarySocketPath() {
  char pattern[] = "/tmp/quillore-relay-XXXXXX";
  if (!::mkdtemp(pattern)) abort();
  return std::string(pattern) + "/app.sock";
}

}  // namespace quillore::testing
