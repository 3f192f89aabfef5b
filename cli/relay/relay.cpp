#include "relay/relay.h"

#include <sys/uio.h>

#include <cerrno>
#include <system_error>
#include <thread>
#include <vector>

#include "connection/json.h"
#include "connection/transport.h"
#include "relay/classify.h"
#include "relay/line_pump.h"

namespace quillore {
namespace {

// The line and its LF in as few writes as the descriptor allows, so a large line is
// not copied just to append one byte. Continues short writes and retries EINTR.
bool writeLine(int fd, std::string_view line) {
  const Bytes& lf = newline();
  iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {const_cast<char*>(lf.data()), lf.size()}};
  iovec* part = parts;
  int count = 2;
  while (count > 0) {
    ssize_t written = ::writev(fd, part, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) return false;
    size_t left = size_t(written);
    while (count > 0 && left >= part->iov_len) {
      left -= part->iov_len;
      ++part;
      --count;
    }
    if (count > 0) {
      part->iov_base = static_cast<char*>(part->iov_base) + left;
      part->iov_len -= left;
    }
  }
  return true;
}

std::string replayId(int64_t number) { return "quillore-replay-" + std::to_string(number); }

}  // namespace

Relay::Relay() : Relay(RelayDependencies{}) {}

Relay::Relay(RelayDependencies dependencies)
    : dependencies_(std::move(dependencies)), lastLaunch_(dependencies_.now()) {}

void Relay::run() {
  serve();
  // Requests still in flight get no answer; reader threads and the socket are left
  // to the exit.
  _exit(0);
}

void Relay::serve() {
  // Standard input waits until the first attempt is over, which can take seconds
  // while the app starts. When the app can't be reached nothing is printed: the
  // agent's first request tries again.
  Reach reach = dependencies_.reach(Launch::allowed);
  if (reach.kind == Reach::Case::connected) {
    std::lock_guard<std::mutex> guard(lock_);
    attach(reach.fd, Replay::none);
  }
  LineReader input(dependencies_.input);
  while (auto line = input.next()) forward(*line);
}

Bytes Relay::attach(int socket, Replay replay) {
  // The main thread writes through a descriptor of its own, so that it can write
  // without holding `lock_` and the reader thread can close its own at any time.
  if (writer_ != -1) ::close(writer_);
  writer_ = ::dup(socket);
  if (writer_ == -1) {
    ::close(socket);
    return {};
  }
  fd_ = socket;
  int64_t connection = ++generation_;
  Bytes handshake;
  if (replay == Replay::handshake && initialize_) {
    // The app sees an initialised client on every connection; the replies to the
    // replay are not the agent's business.
    std::string id = replayId(++replays_);
    nlohmann::json copy = *initialize_;
    copy["id"] = id;
    swallow_.insert(idKey(id));
    handshake = encode(copy) + newline();
    if (initialized_) handshake += encode({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}}) + newline();
  }
  try {
    std::thread([this, socket, connection] { readConnection(socket, connection); }).detach();
  } catch (const std::system_error&) {
    // Without a reader the connection is no use: drop it, as if the app had closed it
    // at once (nothing is in flight on it yet).
    ::close(socket);
    fd_ = -1;
    swallow_.clear();
    return {};
  }
  return handshake;
}

// A line from the app that grows long before its end arrives goes to the agent as
// it comes, under `outLock_` from its first byte to its LF. Only while no reply to a
// replayed handshake is awaited: such a reply must be seen whole to be dropped. (No
// replay can start while this connection is current, so the answer holds for the
// whole line.)
class Relay::StreamOut : public LineSink {
 public:
  explicit StreamOut(Relay& relay) : relay_(relay) {}

  bool begin() override {
    {
      std::lock_guard<std::mutex> guard(relay_.lock_);
      if (!relay_.swallow_.empty()) return false;
      recordedBefore = relay_.recorded_;
    }
    output_ = std::unique_lock<std::mutex>(relay_.outLock_);
    return true;
  }

  bool piece(std::string_view bytes) override { return writeAll(relay_.dependencies_.output, bytes); }

  // Ends the line with its LF (unless a piece already failed) and frees the output.
  // False when the output is gone.
  bool end(bool fine) {
    bool written = fine && writeAll(relay_.dependencies_.output, newline());
    output_.unlock();
    return written;
  }

  // Requests recorded before the line began: only those can be the one it answers.
  // A request that the agent sends after reading the streamed reply may reuse its id.
  uint64_t recordedBefore = 0;

 private:
  Relay& relay_;
  std::unique_lock<std::mutex> output_;
};

void Relay::readConnection(int socket, int64_t connection) {
  LinePump pump(socket);
  StreamOut stream(*this);
  while (auto line = pump.next(stream)) {
    if (line->streamed) {
      // Its LF ends it even when the app quit before sending all of it, as for any
      // last line without one.
      if (!stream.end(!line->sinkFailed)) {
        dependencies_.outputGone();
        return;
      }
      LineShape shape = classify(line->bytes);
      if (shape.isReply()) {
        std::string key = idKey(*shape.id);
        std::lock_guard<std::mutex> guard(lock_);
        auto pending = inflight_.find(key);
        if (pending != inflight_.end() && pending->second.number <= stream.recordedBefore) inflight_.erase(pending);
      }
      continue;
    }
    LineShape shape = classify(line->bytes);
    if (shape.isReply()) {
      std::string key = idKey(*shape.id);
      bool swallowed;
      {
        std::lock_guard<std::mutex> guard(lock_);
        swallowed = swallow_.erase(key) > 0;
        inflight_.erase(key);
      }
      if (swallowed) continue;
    }
    if (!writeOut(line->bytes)) {
      dependencies_.outputGone();
      return;
    }
  }

  std::vector<nlohmann::json> orphans;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // A newer connection is not this thread's to touch.
    if (connection != generation_) return;
    ::close(socket);
    fd_ = -1;
    orphans.reserve(inflight_.size());
    for (auto& entry : inflight_) orphans.push_back(std::move(entry.second.id));
    inflight_.clear();
    swallow_.clear();
  }
  for (const auto& id : orphans) replyError(id, disconnectMessage);
}

void Relay::replyError(const nlohmann::json& id, std::string_view message) {
  nlohmann::json reply = {
      {"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", -32000}, {"message", std::string(message)}}}};
  if (!writeOut(encode(reply))) dependencies_.outputGone();
}

bool Relay::writeOut(std::string_view line) {
  std::lock_guard<std::mutex> guard(outLock_);
  return writeLine(dependencies_.output, line);
}

void Relay::record(const nlohmann::json& id) {
  // A second request with the same id shares the first one's entry, which then
  // counts as recorded with the second.
  ++recorded_;
  auto [entry, added] = inflight_.try_emplace(idKey(id), Pending{id, recorded_});
  if (!added) entry->second.number = recorded_;
}

void Relay::forward(const Bytes& line) {
  if (line.empty()) return;
  LineShape shape = classify(line);
  const bool request = shape.isRequest();
  const bool ownInitialize = shape.method == "initialize";

  bool connected;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // The handshake is remembered whatever the state of the connection.
    if (ownInitialize) initialize_ = parseObject(line);
    if (shape.method == "notifications/initialized") initialized_ = true;
    connected = fd_ != -1;
    // Recorded before it is written, so its reply always finds it.
    if (connected && request) record(*shape.id);
  }
  // Written without `lock_`: an app that stops reading while it writes must not keep
  // the reader thread from taking its lines. Only this thread writes to the socket,
  // so lines keep their order. A broken connection shows in its reader thread.
  if (connected) {
    writeLine(writer_, line);
    return;
  }
  if (writer_ != -1) {
    ::close(writer_);  // the connection has ended
    writer_ = -1;
  }
  // Not connected: anything but a request is dropped, neither queued nor answered.
  if (!request) return;

  // Reaching the app can take seconds: no lock is held meanwhile.
  Clock::time_point now = dependencies_.now();
  Launch launch = now - lastLaunch_ > launchInterval ? Launch::allowed : Launch::forbidden;
  if (launch == Launch::allowed) lastLaunch_ = now;
  Reach reach = dependencies_.reach(launch);
  if (reach.kind != Reach::Case::connected) {
    replyError(*shape.id, reach.reason());
    return;
  }

  Bytes handshake;
  bool adopted;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // The agent's own "initialize" is about to go out: nothing is replayed before it.
    handshake = attach(reach.fd, ownInitialize ? Replay::none : Replay::handshake);
    adopted = fd_ != -1;
    if (adopted) record(*shape.id);
  }
  if (!adopted) {
    replyError(*shape.id, disconnectMessage);
    return;
  }
  // The replayed handshake first, then the request that caused the reconnection.
  writeAll(writer_, handshake);
  writeLine(writer_, line);
}

}  // namespace quillore
