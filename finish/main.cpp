#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>  // defines __GLIBC__ where it applies
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <new>
#include <string>
#include <vector>

#include "modes/entry.h"

namespace {

// A standard descriptor left closed by the caller is taken by the null device, opened
// the wrong way round so that using it still fails, so that OUT or a render never gets
// its number and the message or the timing line never lands in an image file.
void reserveStandardDescriptors() {
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int null = open("/dev/null", (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  reserveStandardDescriptors();
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
