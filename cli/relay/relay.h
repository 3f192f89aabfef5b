// Relay mode: MCP on standard input and output, passed on to the app's socket. The
// relay outlives the app: when the app has quit, the agent's next request reconnects
// (starting the app at most once a minute), the agent's handshake is replayed on the
// new connection with the replies to it hidden, and requests that cannot be answered
// by the app are answered by the relay with a JSON-RPC error.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "connection/descriptor.h"
#include "connection/reach.h"
#include "entry/settings.h"

namespace quillore {

// What the relay takes from its surroundings. The program uses the defaults; tests
// put in their own app, clock and descriptors.
struct RelayDependencies {
  using Clock = std::chrono::steady_clock;

  std::function<Reach(Launch launch)> reach = [](Launch launch) { return reachApp(launch); };
  std::function<Clock::time_point()> now = [] { return Clock::now(); };
  // Read and written, never closed: they stay open as long as the relay or any of its
  // reader threads runs (the process's own in the program).
  int input = STDIN_FILENO;
  int output = STDOUT_FILENO;
  // Called once the output can no longer be written: the agent host has gone. The
  // program exits with 0; if it returns (tests), the calling thread stops its work,
  // and a reader thread closes its connection.
  std::function<void()> outputGone = [] { _exit(0); };
};

// Given to every request that was in flight when the app's connection ended.
inline constexpr std::string_view disconnectMessage =
    "Quillore closed the connection: it quit, or Settings \u2192 AI agents was turned off. Try the call again; "
    "Quillore is opened again if needed.";

// Reconnections may start the app only when more than this has passed since the
// relay last allowed it.
inline constexpr std::chrono::seconds launchInterval{60};

class Relay {
 public:
  using Clock = RelayDependencies::Clock;

  Relay();
  explicit Relay(RelayDependencies dependencies);
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Serves until standard input ends or standard output breaks; exits with 0.
  [[noreturn]] void run();

  // `run()` without the exit at the end of input. Reader threads may still be running
  // when it returns, and after the relay is gone: they hold what they use themselves.
  void serve();

 private:
  // What the main thread shares with the reader threads. Each reader thread holds it
  // too, so it lives as long as the last of them, whether or not the relay does.
  struct Shared {
    Shared(int output, std::function<void()> outputGone) : output(output), outputGone(std::move(outputGone)) {}

    const int output;  // not closed here; it stays open as long as any reader thread runs
    const std::function<void()> outputGone;

    std::mutex lock;     // guards the connection state below
    std::mutex outLock;  // serialises the lines written to `output`; never held with `lock`

    bool connected = false;  // a connection is adopted and its reader has not reached its end
    int64_t generation = 0;  // connections adopted so far: the current one's number
    // A request forwarded on the current connection and not yet answered.
    struct Pending {
      nlohmann::json id;  // as the agent sent it
      uint64_t number;    // its place among the requests recorded so far
    };
    std::unordered_map<std::string, Pending> inflight;  // by idKey
    uint64_t recorded = 0;                              // requests entered in `inflight` so far
    std::unordered_set<std::string> swallow;            // idKeys of replayed "initialize" requests

    // Enters a request in `inflight`; `lock` is held.
    void record(const nlohmann::json& id);
    // One whole line on the output, under `outLock`. False when the output is gone.
    bool writeOut(std::string_view line);
    // Writes the relay's own error reply for a request; never called with `lock` held.
    void replyError(const nlohmann::json& id, std::string_view message);
  };

  // Whether a new connection starts with the agent's stored handshake.
  enum class Replay { none, handshake };
  // Adopts a newly connected socket and starts its reader thread, which takes the
  // socket over. With `Replay::handshake`, gives the agent's handshake to write on it
  // before anything else. The caller holds the shared `lock` once reader threads exist.
  // On failure the socket is closed and the relay stays disconnected.
  Bytes attach(Descriptor socket, Replay replay);
  // The reader thread of one connection: passes the app's lines on, and answers what
  // is still in flight when the connection ends. Closes its socket on every way out.
  static void readConnection(std::shared_ptr<Shared> owner, Descriptor socket, int64_t connection);
  // Passes a long line from the app on while it arrives.
  class StreamOut;
  // One line from the agent.
  void forward(const Bytes& line);

  // The rest is the main thread's alone; what it shares is behind `shared_`.
  std::function<Reach(Launch)> reach_;
  std::function<Clock::time_point()> now_;
  int input_;
  std::shared_ptr<Shared> shared_;

  std::optional<nlohmann::json> initialize_;  // the agent's latest "initialize", as sent
  bool initialized_ = false;                  // the agent has sent "notifications/initialized"
  int64_t replays_ = 0;                       // handshake replays so far; numbers the replay ids
  Clock::time_point lastLaunch_;              // when the relay last allowed the app to be started
  Descriptor writer_;                         // its own descriptor of the latest connection's socket
};

}  // namespace quillore
