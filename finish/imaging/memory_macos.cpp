#include <cstdlib>
#include <new>

#include "imaging/memory.h"

namespace finish {

// macOS chooses page sizes itself (16 KiB on Apple silicon) and takes no hint; its
// allocator already serves blocks of this size as whole pages of their own.
void* allocateLarge(size_t bytes) {
  void* p = std::malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void releaseLarge(void* p) noexcept { std::free(p); }

}  // namespace finish
