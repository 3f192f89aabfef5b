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
    : reach_(std::move(dependencies.reach)),
      now_(std::move(dependencies.now)),
      input_(dependencies.input),
      shared_(std::make_shared<Shared>(dependencies.output, std::move(dependencies.outputGone))),
      lastLaunch_(now_()) {}

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
  Reach reach = reach_(Launch::allowed);
  if (reach.kind == Reach::Case::connected) {
    std::lock_guard<std::mutex> guard(shared_->lock);
    attach(std::move(reach.socket), Replay::none);
  }
  LineReader input(input_);
  while (auto line = input.next()) forward(*line);
}

Bytes Relay::attach(Descriptor socket, Replay replay) {
  // The main thread writes through a descriptor of its own, so that it can write
  // without holding `lock` and the reader thread can close its own at any time.
  writer_ = socket.duplicate();
  if (!writer_) return {};
  Shared& shared = *shared_;
  shared.connected = true;
  int64_t connection = ++shared.generation;
  Bytes handshake;
  if (replay == Replay::handshake && initialize_) {
    // The app sees an initialised client on every connection; the replies to the
    // replay are not the agent's business.
    std::string id = replayId(++replays_);
    nlohmann::json copy = *initialize_;
    copy["id"] = id;
    shared.swallow.insert(idKey(id));
    handshake = encode(copy) + newline();
    if (initialized_) handshake += encode({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}}) + newline();
  }
  try {
    std::thread([owner = shared_, socket = std::move(socket), connection]() mutable {
      readConnection(std::move(owner), std::move(socket), connection);
    }).detach();
  } catch (const std::system_error&) {
    // Without a reader the connection is no use: drop it (the socket went with the
    // thread that never started), as if the app had closed it at once (nothing is in
    // flight on it yet).
    writer_.close();
    shared.connected = false;
    shared.swallow.clear();
    return {};
  }
  return handshake;
}

// A line from the app that grows long before its end arrives goes to the agent as
// it comes, under `outLock` from its first byte to its LF. Only while no reply to a
// replayed handshake is awaited: such a reply must be seen whole to be dropped. (No
// replay can start while this connection is current, so the answer holds for the
// whole line.)
class Relay::StreamOut : public LineSink {
 public:
  explicit StreamOut(Shared& shared) : shared_(shared) {}

  bool begin() override {
    {
      std::lock_guard<std::mutex> guard(shared_.lock);
      if (!shared_.swallow.empty()) return false;
      recordedBefore = shared_.recorded;
    }
    output_ = std::unique_lock<std::mutex>(shared_.outLock);
    return true;
  }

  bool piece(std::string_view bytes) override { return writeAll(shared_.output, bytes); }

  // Ends the line with its LF (unless a piece already failed) and frees the output.
  // False when the output is gone.
  bool end(bool fine) {
    bool written = fine && writeAll(shared_.output, newline());
    output_.unlock();
    return written;
  }

  // Requests recorded before the line began: only those can be the one it answers.
  // A request that the agent sends after reading the streamed reply may reuse its id.
  uint64_t recordedBefore = 0;

 private:
  Shared& shared_;
  std::unique_lock<std::mutex> output_;
};

void Relay::readConnection(std::shared_ptr<Shared> owner, Descriptor socket, int64_t connection) {
  Shared& shared = *owner;
  LinePump pump(socket.fd());
  StreamOut stream(shared);
  while (auto line = pump.next(stream)) {
    if (line->streamed) {
      // Its LF ends it even when the app quit before sending all of it, as for any
      // last line without one.
      if (!stream.end(!line->sinkFailed)) {
        shared.outputGone();
        return;
      }
      LineShape shape = classify(line->bytes);
      if (shape.isReply()) {
        std::string key = idKey(*shape.id);
        std::lock_guard<std::mutex> guard(shared.lock);
        auto pending = shared.inflight.find(key);
        if (pending != shared.inflight.end() && pending->second.number <= stream.recordedBefore)
          shared.inflight.erase(pending);
      }
      continue;
    }
    LineShape shape = classify(line->bytes);
    if (shape.isReply()) {
      std::string key = idKey(*shape.id);
      bool swallowed;
      {
        std::lock_guard<std::mutex> guard(shared.lock);
        swallowed = shared.swallow.erase(key) > 0;
        shared.inflight.erase(key);
      }
      if (swallowed) continue;
    }
    if (!shared.writeOut(line->bytes)) {
      shared.outputGone();
      return;
    }
  }

  socket.close();  // the connection has ended; the main thread closes its own descriptor
  std::vector<nlohmann::json> orphans;
  {
    std::lock_guard<std::mutex> guard(shared.lock);
    // A newer connection is not this thread's to touch.
    if (connection != shared.generation) return;
    shared.connected = false;
    orphans.reserve(shared.inflight.size());
    for (auto& entry : shared.inflight) orphans.push_back(std::move(entry.second.id));
    shared.inflight.clear();
    shared.swallow.clear();
  }
  for (const auto& id : orphans) shared.replyError(id, disconnectMessage);
}

void Relay::Shared::replyError(const nlohmann::json& id, std::string_view message) {
  nlohmann::json reply = {
      {"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", -32000}, {"message", std::string(message)}}}};
  if (!writeOut(encode(reply))) outputGone();
}

bool Relay::Shared::writeOut(std::string_view line) {
  std::lock_guard<std::mutex> guard(outLock);
  return writeLine(output, line);
}

void Relay::Shared::record(const nlohmann::json& id) {
  // A second request with the same id shares the first one's entry, which then
  // counts as recorded with the second.
  ++recorded;
  auto [entry, added] = inflight.try_emplace(idKey(id), Pending{id, recorded});
  if (!added) entry->second.number = recorded;
}

void Relay::forward(const Bytes& line) {
  if (line.empty()) return;
  LineShape shape = classify(line);
  const bool request = shape.isRequest();
  const bool ownInitialize = shape.method == "initialize";

  // The handshake is remembered whatever the state of the connection.
  if (ownInitialize) initialize_ = parseObject(line);
  if (shape.method == "notifications/initialized") initialized_ = true;
  bool connected;
  {
    std::lock_guard<std::mutex> guard(shared_->lock);
    connected = shared_->connected;
    // Recorded before it is written, so its reply always finds it.
    if (connected && request) shared_->record(*shape.id);
  }
  // Written without `lock`: an app that stops reading while it writes must not keep
  // the reader thread from taking its lines. Only this thread writes to the socket,
  // so lines keep their order. A broken connection shows in its reader thread.
  if (connected) {
    writeLine(writer_.fd(), line);
    return;
  }
  writer_.close();  // the connection has ended
  // Not connected: anything but a request is dropped, neither queued nor answered.
  if (!request) return;

  // Reaching the app can take seconds: no lock is held meanwhile.
  Clock::time_point now = now_();
  Launch launch = now - lastLaunch_ > launchInterval ? Launch::allowed : Launch::forbidden;
  if (launch == Launch::allowed) lastLaunch_ = now;
  Reach reach = reach_(launch);
  if (reach.kind != Reach::Case::connected) {
    shared_->replyError(*shape.id, reach.reason());
    return;
  }

  Bytes handshake;
  bool adopted;
  {
    std::lock_guard<std::mutex> guard(shared_->lock);
    // The agent's own "initialize" is about to go out: nothing is replayed before it.
    handshake = attach(std::move(reach.socket), ownInitialize ? Replay::none : Replay::handshake);
    adopted = shared_->connected;
    if (adopted) shared_->record(*shape.id);
  }
  if (!adopted) {
    shared_->replyError(*shape.id, disconnectMessage);
    return;
  }
  // The replayed handshake first, then the request that caused the reconnection.
  writeAll(writer_.fd(), handshake);
  writeLine(writer_.fd(), line);
}

}  // namespace quillore
