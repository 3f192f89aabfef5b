// Decoding mutated render files (PNG, JPEG, TIFF, WebP, …): load() either gives a
// buffer of the promised layout or the "cannot read" message, and never crashes or
// asks for memory the file cannot justify (the fuzzer's malloc limit reports that).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>

#include "imaging/files.h"

namespace {

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "image: %s\n", what);
  std::abort();
}

const std::string& scratch() {
  static const std::string path = [] {
    char name[] = "/tmp/quillore-image-fuzz-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) broken("no scratch file");
    ::close(fd);
    std::atexit([] { ::unlink(scratch().c_str()); });
    return std::string(name);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!finish::startImaging("quillore-finish")) broken("no image library");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = scratch();
  int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
  if (fd < 0 || ::write(fd, data, size) != ssize_t(size)) broken("cannot write the scratch file");
  ::close(fd);

  std::string error;
  auto loaded = finish::load(path, error);
  if (!loaded) {
    if (error.rfind("cannot read " + path, 0) != 0) broken("a failure without the cannot-read message");
    return 0;
  }
  const finish::Image& image = loaded->image;
  if (image.w < 1 || image.h < 1) broken("an empty image");
  // One buffer, of one depth (the type holds no other), with every pixel's components.
  const bool fits = std::visit(
      [&]<typename T>(const finish::Samples<T>& samples) {
        return samples.size() == finish::componentsOf<T> * image.n();
      },
      image.px);
  if (!fits) broken("the buffer does not match the size and depth");
  finish::Plane red = image.channel(0);
  for (float v : red)
    if (!(v >= 0.0f && v <= 1.0f)) broken("a channel value outside 0…1");
  return 0;
}
