#include <sys/mman.h>

#include <cstdlib>
#include <new>

#include "imaging/memory.h"

namespace finish {

// Linux backs memory with transparent huge pages of 2 MiB where a region is aligned
// to them and either the system wants them everywhere or the region asks for them.
// Many systems are set to "ask", so the buffer asks; where huge pages are off, or
// none is free, the hint changes nothing and ordinary pages are used.
void* allocateLarge(size_t bytes) {
  constexpr size_t hugePage = size_t(2) << 20;
  const size_t rounded = (bytes + hugePage - 1) / hugePage * hugePage;
  void* p = std::aligned_alloc(hugePage, rounded);
  if (p == nullptr) throw std::bad_alloc();
  madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

void releaseLarge(void* p) noexcept { std::free(p); }

}  // namespace finish
