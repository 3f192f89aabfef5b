// A small pool of threads for the pixel loops. Work is cut into chunks of rows (or
// of pixels) that are computed exactly as they would be on one thread, so results
// never depend on the number of threads.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace finish {

// Threads used by parallelFor, the calling thread included. Defaults to the number
// of cores; 1 runs everything on the calling thread. setThreadCount replaces the
// pool: call it only while no other thread uses parallelFor (the tests do, between
// runs).
int threadCount();
void setThreadCount(int count);

// Calls body(begin, end) for consecutive chunks of [0, count), each at most `grain`
// long, spread over the pool; returns when every chunk is done.
//
// The pool serves one call at a time. Calls from several threads at once (the
// renders are decoded on threads of their own) are safe: a call that finds the
// pool busy waits until it is free, then runs. The body must not call parallelFor
// itself: the pool is busy with the very call that would have to wait, so the
// process would hang; builds with assertions end the process at once instead, with
// a message.
void parallelFor(size_t count, size_t grain, const std::function<void(size_t, size_t)>& body);

// A grain that cuts `count` items into a few chunks per thread, at least `least`.
size_t grainFor(size_t count, size_t least);

// Room for at least n values in a buffer a thread keeps from band to band (a
// thread_local one): grown when too small, never shrunk.
inline float* scratchOf(std::vector<float>& buffer, size_t n) {
  if (buffer.size() < n) buffer.resize(n);
  return buffer.data();
}

}  // namespace finish

// Hot loops get AVX-512 and AVX2 clones on x86-64 Linux, chosen at load time (the
// same values on each: element-wise arithmetic, never contracted); everywhere else
// they are compiled once for the baseline (NEON on Apple silicon) and left to the
// auto-vectoriser. Sanitizer builds take no clones: the clones' resolvers run while
// the program is loaded, before a sanitizer's runtime is set up, and so crash when
// they are instrumented (ThreadSanitizer).
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define FINISH_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define FINISH_VECTOR_CLONES
#endif
