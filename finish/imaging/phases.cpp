#include "imaging/phases.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace finish {

namespace {

struct Mark {
  std::chrono::steady_clock::time_point wall;
  rusage usage;
};

double seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

Mark now() {
  Mark m{std::chrono::steady_clock::now(), {}};
  getrusage(RUSAGE_SELF, &m.usage);
  return m;
}

}  // namespace

void notePhase(const char* name) {
  static const bool wanted = std::getenv("QUILLORE_FINISH_PHASES") != nullptr;
  if (!wanted) return;
  static Mark last = now();
  const Mark m = now();
  // ru_maxrss is in KiB on Linux and in bytes on macOS.
#if defined(__APPLE__)
  const double peakMiB = double(m.usage.ru_maxrss) / (1024.0 * 1024.0);
#else
  const double peakMiB = double(m.usage.ru_maxrss) / 1024.0;
#endif
  std::fprintf(stderr, "phase %-28s wall %7.3f s  user %7.3f s  sys %6.3f s  minor faults %8ld  peak %7.1f MiB\n", name,
               std::chrono::duration<double>(m.wall - last.wall).count(),
               seconds(m.usage.ru_utime) - seconds(last.usage.ru_utime),
               seconds(m.usage.ru_stime) - seconds(last.usage.ru_stime), m.usage.ru_minflt - last.usage.ru_minflt,
               peakMiB);
  last = m;
}

}  // namespace finish
