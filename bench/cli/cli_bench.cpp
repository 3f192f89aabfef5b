// Benchmark of quillore-cli runs against an endpoint that answers at once.
//
//   cli_bench <quillore-cli> [--runs N] [--image-mb M] [--image-runs K]
//
// A child process of this program plays the app on a temporary Unix-domain socket:
// it answers "initialize", "tools/list" and "tools/call" as soon as each line
// arrives, with replies prepared before the clock starts. Then:
//
// 1. Latency: N whole runs of `quillore-cli render-preview --photo-id 1` (start to
//    exit: connecting, handshake, listing, call, printing), whose result is one short
//    text. Baseline: N runs of /bin/true, spawned and waited for the same way.
// 2. Image: K runs of the same command whose result holds one image of M MB of base64
//    (a single line of about M MB), written with --out to a temporary directory.
//    The rate is the base64 bytes over the run's wall time minus the median
//    latency of step 1 (what a run costs without the image). Peak memory is the
//    child's maximum resident set size. Baseline: /bin/cat copying a file holding the
//    same reply line to a file in the same directory (read and write of the same
//    bytes, no parsing or decoding).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool writeAll(int fd, const std::string& data) {
  size_t at = 0;
  while (at < data.size()) {
    ssize_t n = write(fd, data.data() + at, data.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += size_t(n);
  }
  return true;
}

std::string base64(const std::string& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t v = uint8_t(bytes[i]) << 16 | uint8_t(bytes[i + 1]) << 8 | uint8_t(bytes[i + 2]);
    out += alphabet[v >> 18];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  if (i < bytes.size()) {
    uint32_t v = uint8_t(bytes[i]) << 16 | (i + 1 < bytes.size() ? uint8_t(bytes[i + 1]) << 8 : 0);
    out += alphabet[v >> 18];
    out += alphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// The "id" of a request line, as its JSON text (the client sends integers).
std::string idOf(const std::string& line) {
  size_t at = line.find("\"id\":");
  if (at == std::string::npos) return "";
  at += 5;
  size_t end = line.find_first_of(",}", at);
  return line.substr(at, end - at);
}

std::string reply(const std::string& id, const std::string& result) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":" + result + "}\n";
}

// Serves connections one after another until killed; `callResult` answers every call.
[[noreturn]] void serve(int listener, const std::string* callResult) {
  const std::string initialize =
      R"({"protocolVersion":"2025-11-25","capabilities":{"tools":{}},"serverInfo":{"name":"bench","version":"1"}})";
  const std::string list =
      R"({"tools":[{"name":"render_preview","title":"Render preview","description":"Renders a preview. Writes a PNG.",)"
      R"("inputSchema":{"type":"object","properties":{"photoId":{"type":"string"},"hdr":{"type":"boolean"}},)"
      R"("required":["photoId"]}}]})";
  std::vector<char> chunk(65536);
  for (;;) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::string pending;
    for (;;) {
      size_t lf;
      while ((lf = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, lf);
        pending.erase(0, lf + 1);
        std::string id = idOf(line);
        if (id.empty()) continue;  // notifications
        if (line.find("\"initialize\"") != std::string::npos) writeAll(fd, reply(id, initialize));
        else if (line.find("\"tools/list\"") != std::string::npos) writeAll(fd, reply(id, list));
        else writeAll(fd, reply(id, *callResult));
      }
      ssize_t n = read(fd, chunk.data(), chunk.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      pending.append(chunk.data(), size_t(n));
    }
    close(fd);
  }
}

struct Endpoint {
  pid_t pid = -1;
  std::string path;
};

// Starts the endpoint in a child process. The call result is built there, by
// `makeResult`, so that this process stays small: a child spawned by a large process
// starts out with that process's resident size, which would count as its own peak.
// The child reports the size of its reply line on `sizePipe` once it is ready.
template <class MakeResult>
Endpoint startEndpoint(const std::string& path, MakeResult makeResult, size_t* lineSize = nullptr) {
  unlink(path.c_str());
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 16) != 0) {
    std::perror("endpoint");
    std::exit(1);
  }
  int ready[2];
  if (pipe(ready) != 0) std::exit(1);
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    const std::string callResult = makeResult();
    const uint64_t size = reply("3", callResult).size();
    if (write(ready[1], &size, sizeof size) != ssize_t(sizeof size)) std::_Exit(1);
    close(ready[1]);
    serve(listener, &callResult);
  }
  close(ready[1]);
  uint64_t size = 0;
  if (read(ready[0], &size, sizeof size) != ssize_t(sizeof size)) {
    std::fprintf(stderr, "the endpoint did not start\n");
    std::exit(1);
  }
  close(ready[0]);
  close(listener);
  if (lineSize) *lineSize = size;
  return {pid, path};
}

void stopEndpoint(const Endpoint& endpoint) {
  kill(endpoint.pid, SIGKILL);
  waitpid(endpoint.pid, nullptr, 0);
  unlink(endpoint.path.c_str());
}

struct Run {
  double seconds = 0;
  double cpuSeconds = 0;  // user + system
  long peakKiB = 0;
  int status = -1;
};

// Spawns `argv` with the given environment additions, stdout to `out` (or /dev/null).
Run timed(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
          const std::string& stdinPath = "/dev/null", const std::string& stdoutPath = "/dev/null") {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> envp, args;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> copy = argv;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Run run;
  auto start = Clock::now();
  pid_t pid;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) {
    std::perror(args[0]);
    std::exit(1);
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.cpuSeconds =
      usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
  posix_spawn_file_actions_destroy(&actions);
#ifdef __APPLE__
  run.peakKiB = usage.ru_maxrss / 1024;
#else
  run.peakKiB = usage.ru_maxrss;
#endif
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s QUILLORE_CLI [--runs N] [--image-mb M] [--image-runs K]\n", argv[0]);
    return 2;
  }
  const std::string cli = argv[1];
  int runs = 200, imageRuns = 7;
  double imageMB = 20;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    if (name == "--runs") runs = std::atoi(argv[i + 1]);
    else if (name == "--image-mb") imageMB = std::atof(argv[i + 1]);
    else if (name == "--image-runs") imageRuns = std::atoi(argv[i + 1]);
  }
  signal(SIGPIPE, SIG_IGN);

  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("ql-cli-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string socketPath = (dir / "app.sock").string();
  const std::vector<std::string> env{"QL_AGENT_SOCK=" + socketPath, "QL_NO_LAUNCH=1"};
  const std::vector<std::string> command{cli, "render-preview", "--photo-id", "1"};

  // 1. Latency.
  const std::string small =
      R"({"content":[{"type":"text","text":"Preview of 1"}],"structuredContent":{"photoId":"1","width":8,"height":6}})";
  Endpoint endpoint = startEndpoint(socketPath, [&] { return small; });
  std::vector<double> cliTimes, cliCpu, trueTimes;
  for (int i = 0; i < runs; ++i) {
    // Alternate so that load from elsewhere hits both alike.
    Run r = timed(command, env);
    if (r.status != 0) {
      std::fprintf(stderr, "quillore-cli exited with %d\n", r.status);
      return 1;
    }
    cliTimes.push_back(r.seconds);
    cliCpu.push_back(r.cpuSeconds);
    trueTimes.push_back(timed({"/bin/true"}, env).seconds);
  }
  stopEndpoint(endpoint);
  const double cliMedian = median(cliTimes), trueMedian = median(trueTimes);
  std::printf("latency: %d runs of `quillore-cli render-preview --photo-id 1`\n", runs);
  std::printf("  quillore-cli median %.2f ms (min %.2f, max %.2f)\n", cliMedian * 1e3,
              *std::min_element(cliTimes.begin(), cliTimes.end()) * 1e3,
              *std::max_element(cliTimes.begin(), cliTimes.end()) * 1e3);
  std::printf("  /bin/true    median %.2f ms   ratio %.2f\n", trueMedian * 1e3, cliMedian / trueMedian);
  std::printf("  quillore-cli CPU time median %.2f ms\n", median(cliCpu) * 1e3);

  // 2. One big image, made by the endpoint, which also writes its reply line to a file
  // for the baseline.
  const size_t imageBytes = size_t(imageMB * 1e6 * 3 / 4);
  const size_t base64Size = (imageBytes + 2) / 3 * 4;
  const fs::path replyFile = dir / "reply.json";
  auto makeImageResult = [&] {
    std::mt19937_64 random(42);
    std::string bytes(imageBytes, '\0');
    for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
      uint64_t v = random();
      std::memcpy(&bytes[i], &v, 8);
    }
    std::string result =
        R"({"content":[{"type":"text","text":"Preview of 1"},{"type":"image","mimeType":"image/png","data":")" +
        base64(bytes) + R"("}],"structuredContent":{"photoId":"1"}})";
    std::ofstream(replyFile, std::ios::binary) << reply("3", result);
    return result;
  };
  size_t lineSize = 0;
  endpoint = startEndpoint(socketPath, makeImageResult, &lineSize);
  const std::string out = (dir / "images").string();
  std::vector<double> imageTimes, imageCpu, catTimes;
  long peak = 0, catPeak = 0;
  for (int i = 0; i < imageRuns; ++i) {
    fs::remove_all(out);
    std::vector<std::string> withOut = command;
    withOut.insert(withOut.end(), {"--out", out});
    Run r = timed(withOut, env);
    if (r.status != 0) {
      std::fprintf(stderr, "quillore-cli exited with %d on the image\n", r.status);
      return 1;
    }
    imageTimes.push_back(r.seconds);
    imageCpu.push_back(r.cpuSeconds);
    peak = std::max(peak, r.peakKiB);
    Run c = timed({"/bin/cat"}, {}, replyFile.string(), (dir / "copy.json").string());
    catTimes.push_back(c.seconds);
    catPeak = std::max(catPeak, c.peakKiB);
  }
  stopEndpoint(endpoint);
  const double imageMedian = median(imageTimes), catMedian = median(catTimes);
  const double rate = base64Size / (imageMedian - cliMedian) / 1e6;
  std::printf("image: %d runs with one image of %.1f MB of base64 (reply line %.1f MB), --out to %s\n", imageRuns,
              base64Size / 1e6, lineSize / 1e6, out.c_str());
  std::printf("  quillore-cli median %.1f ms; without the handshake %.1f ms: %.0f MB/s of base64\n", imageMedian * 1e3,
              (imageMedian - cliMedian) * 1e3, rate);
  const double cpuExtra = median(imageCpu) - median(cliCpu);
  std::printf(
      "  quillore-cli CPU time median %.1f ms; without the handshake %.1f ms: %.0f MB/s of base64 per CPU second\n",
      median(imageCpu) * 1e3, cpuExtra * 1e3, base64Size / cpuExtra / 1e6);
  std::printf("  peak RSS %.1f MB = %.2f x the line\n", peak * 1024 / 1e6, peak * 1024.0 / lineSize);
  std::printf("  /bin/cat of the line to a file: median %.1f ms (%.0f MB/s), peak RSS %.1f MB; quillore-cli/cat %.2f\n",
              catMedian * 1e3, lineSize / catMedian / 1e6, catPeak * 1024 / 1e6, imageMedian / catMedian);
  fs::remove_all(dir);
  return 0;
}
