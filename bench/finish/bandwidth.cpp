// Memory bandwidth of this machine as a multi-threaded copy: every thread
// copies its own buffer (far larger than any cache) into another, all threads
// at once. Prints one number on standard output: gigabytes (1e9 bytes) moved
// per second, counting bytes read plus bytes written; details on stderr.
//
//   bandwidth [MIB_PER_THREAD (default 256)] [THREADS (default: all cores)] [REPEATS (default 20)]
//
// The figure is the best of REPEATS passes, each pass timed from the moment
// all threads start to the moment the last one finishes.
#include <algorithm>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  unsigned threads = argc > 2 ? unsigned(std::strtoul(argv[2], nullptr, 10)) : std::thread::hardware_concurrency();
  int repeats = argc > 3 ? std::atoi(argv[3]) : 20;
  if (mib == 0 || threads == 0 || repeats <= 0) {
    std::fprintf(stderr, "usage: bandwidth [MIB_PER_THREAD] [THREADS] [REPEATS]\n");
    return 2;
  }
  const size_t bytes = mib << 20;
  std::vector<std::vector<char>> src(threads), dst(threads);
  for (unsigned t = 0; t < threads; ++t) {  // touch every page before timing
    src[t].assign(bytes, char(t + 1));
    dst[t].assign(bytes, 0);
  }
  using clock = std::chrono::steady_clock;
  std::vector<clock::time_point> begin(repeats), end(repeats);
  std::barrier sync(threads, []() noexcept {});
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      for (int r = 0; r < repeats; ++r) {
        sync.arrive_and_wait();
        if (t == 0) begin[r] = clock::now();
        std::memcpy(dst[t].data(), src[t].data(), bytes);
        sync.arrive_and_wait();
        if (t == 0) end[r] = clock::now();
      }
    });
  for (auto& th : pool) th.join();
  double best = 1e30;
  for (int r = 0; r < repeats; ++r) best = std::min(best, std::chrono::duration<double>(end[r] - begin[r]).count());
  double moved = 2.0 * double(bytes) * threads;  // read + write
  volatile char sink = dst[threads - 1][bytes - 1];
  (void)sink;
  std::fprintf(stderr,
               "bandwidth: %u threads x %zu MiB copied, best of %d: %.3f s, %.2f GB/s read+write (%.2f GB/s copied)\n",
               threads, mib, repeats, best, moved / best / 1e9, moved / 2 / best / 1e9);
  std::printf("%.3f\n", moved / best / 1e9);
  return 0;
}
