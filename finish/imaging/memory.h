// Memory for the large buffers of a run: the renders' pixel buffers, the result
// and the pyramid planes, tens to hundreds of megabytes each.
//
// Every page of such a buffer is touched within moments of its allocation, so on
// systems that can back memory with large pages these buffers ask for them: one
// fault then maps 2 MiB instead of 4 KiB, and the work on the buffer takes far fewer
// TLB misses. Small buffers come from the ordinary heap.
#pragma once

#include <cstddef>

namespace finish {

// From this size on a buffer counts as large.
inline constexpr size_t largeBuffer = size_t(2) << 20;

// `bytes` (at least largeBuffer) of uninitialised memory, released with
// releaseLarge; throws std::bad_alloc when there is none.
void* allocateLarge(size_t bytes);
void releaseLarge(void* p) noexcept;

}  // namespace finish
