// The floor of a blend's whole-process time: decode every render into memory
// and encode one result, with libvips alone and no pixel work in between.
//
//   floor [--concurrent] OUT IN...   decode all INs, write the first one to OUT
//   floor --size IN                  print "WIDTH HEIGHT" of IN
//
// OUT takes its file type from its extension. JPEG is written at quality 95,
// TIFF uncompressed; metadata (EXIF, ICC) is kept. With --concurrent each
// input is decoded on its own thread (a JPEG decode is single-threaded, so
// this is how a program would use more than one core for the decodes).
#include <vips/vips8>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using vips::VImage;

namespace {

VImage decode(const char* path) {
  VImage in = VImage::new_from_file(path, VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
  return in.copy_memory();  // forces the whole decode into one memory buffer
}

bool endsWith(const std::string& s, const char* tail) {
  size_t n = std::strlen(tail);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i]) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (VIPS_INIT(argv[0])) vips_error_exit(nullptr);
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 2 && args[0] == "--size") {
      VImage in = VImage::new_from_file(args[1].c_str());
      std::printf("%d %d\n", in.width(), in.height());
      return 0;
    }
    bool concurrent = false;
    if (!args.empty() && args[0] == "--concurrent") {
      concurrent = true;
      args.erase(args.begin());
    }
    if (args.size() < 2) {
      std::fprintf(stderr, "usage: floor [--concurrent] OUT IN...\n       floor --size IN\n");
      return 2;
    }
    const std::string out = args[0];
    std::vector<VImage> imgs(args.size() - 1);
    if (concurrent) {
      std::vector<std::thread> threads;
      std::vector<std::string> errors(imgs.size());
      for (size_t i = 0; i < imgs.size(); ++i)
        threads.emplace_back([&, i] {
          try {
            imgs[i] = decode(args[i + 1].c_str());
          } catch (const vips::VError& e) {
            errors[i] = e.what();
          }
        });
      for (auto& t : threads) t.join();
      for (auto& e : errors)
        if (!e.empty()) throw vips::VError(e);
    } else {
      for (size_t i = 0; i < imgs.size(); ++i) imgs[i] = decode(args[i + 1].c_str());
    }
    for (auto& im : imgs)
      if (im.width() != imgs[0].width() || im.height() != imgs[0].height())
        throw vips::VError("the renders differ in size");
    if (endsWith(out, ".jpg") || endsWith(out, ".jpeg")) imgs[0].jpegsave(out.c_str(), VImage::option()->set("Q", 95));
    else if (endsWith(out, ".tif") || endsWith(out, ".tiff"))
      imgs[0].tiffsave(out.c_str(), VImage::option()->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_NONE));
    else imgs[0].write_to_file(out.c_str());
  } catch (const vips::VError& e) {
    std::fprintf(stderr, "floor: %s\n", e.what());
    return 1;
  }
  vips_shutdown();
  return 0;
}
