#include <cstdlib>
#include <new>

#include "imaging/memory.h"

namespace finish {

// macOS chooses page sizes itself (16 KiB on Apple silicon) and takes no hint:
// large buffers are ordinary page-aligned allocations.
void* allocateLarge(size_t bytes) {
  constexpr size_t page = size_t(16) << 10;
  void* p = std::aligned_alloc(page, (bytes + page - 1) / page * page);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void releaseLarge(void* p) noexcept { std::free(p); }

}  // namespace finish
