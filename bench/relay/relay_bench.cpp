// What the relay costs, measured against doing without it in the same run:
//   (a) round trips of small requests through quillore-mcp against the same requests
//       sent straight to the socket (median of each, and the difference);
//   (b) one large result line from the app to the agent through quillore-mcp against a
//       plain socket-to-pipe copy of the same bytes by a process of its own (best and
//       median of the rounds), and the relay's peak resident memory.
// The app is a tiny answering endpoint in this process: it answers every request line
// with a small result, and the method "big" with the large line.
//
//   relay_bench QUILLORE_MCP [--trips N] [--rounds N] [--size MIB]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "relay_bench: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

// Children must not inherit the descriptors of others: a pipe kept open by another
// child never reports its end.
int closeOnExec(int fd) {
  if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}
bool writeAll(int fd, const std::string& s) { return writeAll(fd, s.data(), s.size()); }

// Reads whole lines from a descriptor into one reused buffer.
class Lines {
 public:
  explicit Lines(int fd) : fd_(fd) {}
  // The next line's length (its bytes are at data()), or -1 at the end.
  long next() {
    if (consumed_ > 0) {
      buf_.erase(0, consumed_);
      consumed_ = 0;
      scanned_ = 0;
    }
    for (;;) {
      if (const void* lf = std::memchr(buf_.data() + scanned_, '\n', buf_.size() - scanned_)) {
        size_t length = size_t(static_cast<const char*>(lf) - buf_.data());
        consumed_ = length + 1;
        return long(length);
      }
      scanned_ = buf_.size();
      size_t old = buf_.size();
      buf_.resize(old + (1 << 16));
      ssize_t n;
      do {
        n = ::read(fd_, buf_.data() + old, 1 << 16);
      } while (n < 0 && errno == EINTR);
      buf_.resize(old + size_t(std::max<ssize_t>(n, 0)));
      if (n <= 0) return -1;
    }
  }
  const char* data() const { return buf_.data(); }

 private:
  int fd_;
  std::string buf_;
  size_t consumed_ = 0;
  size_t scanned_ = 0;
};

// The id member's text in a request we wrote ourselves: {"jsonrpc":"2.0","id":N,...}.
std::string idOf(const char* line, size_t length) {
  std::string text(line, length);
  size_t at = text.find("\"id\":");
  if (at == std::string::npos) return "null";
  size_t end = text.find_first_of(",}", at + 5);
  return text.substr(at + 5, end - at - 5);
}

// The app: one thread per connection, answering every request line at once.
class Endpoint {
 public:
  Endpoint(std::string path, size_t bigSize) : path_(std::move(path)) {
    // A result like the one an image tool gives: base64 text inside the content.
    std::string data(bigSize, 'A');
    for (size_t i = 0; i < data.size(); i += 61) data[i] = "QUILLORE+/0123456789"[i % 20];
    bigTail_ = R"(,"result":{"content":[{"type":"image","mimeType":"image/png","data":")" + data + "\"}]}}\n";
    ::unlink(path_.c_str());
    listening_ = closeOnExec(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (::bind(listening_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) die("bind");
    if (::listen(listening_, 16) != 0) die("listen");
    std::thread([this] {
      for (;;) {
        int fd = closeOnExec(::accept(listening_, nullptr, nullptr));
        if (fd < 0) continue;
        std::thread([this, fd] { serve(fd); }).detach();
      }
    }).detach();
  }
  size_t bigLineSize() const { return std::string(R"({"jsonrpc":"2.0","id":1)").size() + bigTail_.size(); }

 private:
  void serve(int fd) {
    Lines lines(fd);
    long length;
    while ((length = lines.next()) >= 0) {
      const char* line = lines.data();
      std::string head = "{\"jsonrpc\":\"2.0\",\"id\":" + idOf(line, size_t(length));
      if (std::string_view(line, size_t(length)).find("\"method\":\"big\"") != std::string_view::npos) {
        writeAll(fd, head);
        writeAll(fd, bigTail_);
      } else if (std::string_view(line, size_t(length)).find("\"method\"") != std::string_view::npos &&
                 std::string_view(line, size_t(length)).find("\"id\"") != std::string_view::npos) {
        writeAll(fd, head + ",\"result\":{\"content\":[{\"type\":\"text\",\"text\":\"ok\"}]}}\n");
      }
    }
    ::close(fd);
  }

  std::string path_;
  int listening_ = -1;
  std::string bigTail_;
};

int connectTo(const std::string& path) {
  int fd = closeOnExec(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) die("connect");
  return fd;
}

struct Child {
  pid_t pid = -1;
  int in = -1;   // its standard input
  int out = -1;  // its standard output
};

// Starts `argv` with pipes on its standard input and output and `env` added.
Child spawnWithPipes(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  int in[2], out[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0) die("pipe");
  for (int fd : {in[0], in[1], out[0], out[1]}) closeOnExec(fd);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> environment(env);
  for (char** e = environ; *e; ++e) environment.emplace_back(*e);
  std::vector<char*> args, envs;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto& e : environment) envs.push_back(const_cast<char*>(e.c_str()));
  envs.push_back(nullptr);
  Child child;
  if (posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), envs.data()) != 0) die("spawn");
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  child.in = in[1];
  child.out = out[0];
  return child;
}

// The child's peak resident memory in bytes. Linux: VmHWM while it runs (the rusage
// of a child started with vfork also counts the parent's pages); elsewhere the
// rusage after it has exited.
long peakOf(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/status";
  if (FILE* status = std::fopen(path.c_str(), "r")) {
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status))
      if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    std::fclose(status);
    if (kib >= 0) return kib * 1024;
  }
  return -1;
}

// Ends the child's input, waits for it, and gives its peak resident memory in bytes.
long finishChild(Child& child) {
  long peak = peakOf(child.pid);
  ::close(child.in);
  int status = 0;
  rusage usage{};
  while (::wait4(child.pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  ::close(child.out);
  if (peak >= 0) return peak;
#ifdef __APPLE__
  return long(usage.ru_maxrss);
#else
  return long(usage.ru_maxrss) * 1024;
#endif
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Round trips of small requests over a writer and a reader descriptor.
std::vector<double> roundTrips(int to, int from, int count) {
  Lines lines(from);
  std::vector<double> times;
  times.reserve(size_t(count));
  for (int i = 0; i < count; ++i) {
    std::string request = "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(i) +
                          ",\"method\":\"tools/call\",\"params\":{\"name\":\"get_status\",\"arguments\":{}}}\n";
    auto start = Clock::now();
    if (!writeAll(to, request)) die("write request");
    if (lines.next() < 0) die("read reply");
    times.push_back(microseconds(Clock::now() - start));
  }
  return times;
}

// The plain copy: a process of its own, connected to the app, that on every byte of
// its standard input asks for the large line and copies the socket to its standard
// output in 64 KiB reads until the line's LF has gone through.
[[noreturn]] void copierMain(const char* socketPath) {
  int socket = connectTo(socketPath);
  std::vector<char> chunk(1 << 16);
  char trigger;
  int round = 0;
  while (::read(0, &trigger, 1) == 1) {
    std::string request = "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(++round) + ",\"method\":\"big\"}\n";
    writeAll(socket, request);
    for (bool done = false; !done;) {
      ssize_t n = ::read(socket, chunk.data(), chunk.size());
      if (n <= 0) std::exit(1);
      done = chunk[size_t(n) - 1] == '\n';
      if (!writeAll(1, chunk.data(), size_t(n))) std::exit(1);
    }
  }
  std::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc >= 3 && std::string(argv[1]) == "--copier") copierMain(argv[2]);
  if (argc < 2) {
    std::fprintf(stderr, "usage: relay_bench QUILLORE_MCP [--trips N] [--rounds N] [--size MIB]\n");
    return 2;
  }
  std::string relayPath = argv[1];
  int trips = 20000, rounds = 7;
  size_t size = 20;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    if (name == "--trips") trips = std::atoi(argv[i + 1]);
    else if (name == "--rounds") rounds = std::atoi(argv[i + 1]);
    else if (name == "--size") size = size_t(std::atoi(argv[i + 1]));
  }

  char dir[] = "/tmp/relay-bench-XXXXXX";
  if (!::mkdtemp(dir)) die("mkdtemp");
  std::string socketPath = std::string(dir) + "/app.sock";
  Endpoint endpoint(socketPath, size << 20);
  const size_t bigLine = endpoint.bigLineSize();
  const std::vector<std::string> relayEnv = {"QL_AGENT_SOCK=" + socketPath, "QL_NO_LAUNCH=1"};
  const std::string handshake =
      R"({"jsonrpc":"2.0","id":"init","method":"initialize","params":{"protocolVersion":"2025-11-25","capabilities":{},"clientInfo":{"name":"bench","version":"1"}}})"
      "\n";

  // (a) Small round trips, the two ways interleaved in blocks so that load from other
  // processes falls on both alike.
  int direct = connectTo(socketPath);
  Child relay = spawnWithPipes({relayPath}, relayEnv);
  writeAll(relay.in, handshake);
  {
    Lines first(relay.out);
    first.next();
  }
  std::vector<double> straight, relayed;
  const int block = 1000;
  for (int done = 0; done < trips; done += block) {
    int n = std::min(block, trips - done);
    auto s = roundTrips(direct, direct, n);
    auto r = roundTrips(relay.in, relay.out, n);
    straight.insert(straight.end(), s.begin(), s.end());
    relayed.insert(relayed.end(), r.begin(), r.end());
  }
  long smallPeak = finishChild(relay);
  ::close(direct);
  double straightMedian = median(straight), relayedMedian = median(relayed);

  // (b) The large line, alternating between the plain copy and the relay.
  Child copier = spawnWithPipes({"/proc/self/exe", "--copier", socketPath}, {});
  Child bigRelay = spawnWithPipes({relayPath}, relayEnv);
  writeAll(bigRelay.in, handshake);
  {
    Lines first(bigRelay.out);
    first.next();
  }
  std::vector<double> copyTimes, relayTimes;
  Lines copyLines(copier.out), relayLines(bigRelay.out);
  for (int i = 0; i < rounds; ++i) {
    auto start = Clock::now();
    writeAll(copier.in, "x", 1);
    if (copyLines.next() < 0) die("copier");
    copyTimes.push_back(std::chrono::duration<double>(Clock::now() - start).count());

    start = Clock::now();
    writeAll(bigRelay.in, "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(i) + ",\"method\":\"big\"}\n");
    long length = relayLines.next();
    if (length < 0 || size_t(length) + 1 != bigLine + std::to_string(i).size() - 1) die("relayed line");
    relayTimes.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  finishChild(copier);
  long bigPeak = finishChild(bigRelay);

  auto mbps = [&](double seconds) { return double(bigLine) / seconds / 1e6; };
  double copyBest = *std::min_element(copyTimes.begin(), copyTimes.end());
  double relayBest = *std::min_element(relayTimes.begin(), relayTimes.end());
  double copyMedian = median(copyTimes), relayMedian = median(relayTimes);

  std::printf("small requests, %d round trips each way (median):\n", trips);
  std::printf("  straight to the socket   %8.1f us\n", straightMedian);
  std::printf("  through quillore-mcp     %8.1f us\n", relayedMedian);
  std::printf("  added by the relay       %8.1f us   (goal: under 50)\n", relayedMedian - straightMedian);
  std::printf("large line of %.1f MB, %d rounds each way:\n", double(bigLine) / 1e6, rounds);
  std::printf("  plain socket-to-pipe copy  best %7.0f MB/s   median %7.0f MB/s\n", mbps(copyBest), mbps(copyMedian));
  std::printf("  through quillore-mcp       best %7.0f MB/s   median %7.0f MB/s\n", mbps(relayBest), mbps(relayMedian));
  std::printf("  relay / copy throughput    best %7.2f        median %7.2f   (goal: at least 0.5)\n",
              copyBest / relayBest, copyMedian / relayMedian);
  std::printf("  relay peak resident memory %7.1f MB = %.2f x the line   (goal: under 4)\n", double(bigPeak) / 1e6,
              double(bigPeak) / double(bigLine));
  std::printf("  (a relay that carried only small lines peaked at %.1f MB)\n", double(smallPeak) / 1e6);
  ::unlink(socketPath.c_str());
  ::rmdir(dir);
  return 0;
}
