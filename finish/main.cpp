#include <cstdlib>  // defines __GLIBC__ where it applies
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <new>
#include <string>
#include <vector>

#include "modes/entry.h"

int main(int argc, char** argv) {
#if defined(__GLIBC__)
    // The run allocates and frees many planes of tens of megabytes. Served by
    // mmap, each would come back as fresh pages to be faulted in and zeroed by the
    // kernel again; kept in the heap, freed planes are reused as they are.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    try {
        finish::run(std::move(args));
    } catch (const std::bad_alloc&) {
        finish::fail("not enough memory for renders of this size");
    }
}
