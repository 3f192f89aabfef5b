// Render files: decoding one into a pixel buffer, and writing the result in BASE's
// file type with BASE's colour profile and metadata. The image library (libvips)
// does the decoding and encoding; JPEG renders are decoded with libjpeg straight
// into the buffer.
//
// The work is split by job: library.cpp starts the image library, decode.cpp and
// decode_jpeg.cpp read renders, metadata.cpp keeps what travels from BASE to OUT,
// save.cpp writes OUT (with jpeg_header.cpp and tiff_metadata.cpp putting back what
// the writers leave out).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "imaging/image.h"

namespace finish {

// BASE's opened file, kept so that its file type and metadata can go to OUT.
class Source {
 public:
  struct Handle;
  explicit Source(std::shared_ptr<Handle> handle) : handle_(std::move(handle)) {}
  const Handle& handle() const { return *handle_; }

 private:
  std::shared_ptr<Handle> handle_;
};

struct Loaded {
  Image image;
  Source source;
};

// Starts the image library; call once before load or save. False if it cannot. The
// library's optional format modules (HEIF/AVIF, JPEG XL, PDF, OpenSlide and
// ImageMagick's formats) are left out until a render needs one: load brings them
// in when no built-in reader knows the file.
bool startImaging(const char* programName);

// Brings in the optional format modules now (once; later calls do nothing).
void loadFormatModules();

// The most pixels a render may have: far beyond any camera's, yet a 16-bit buffer of
// that size stays within a few gigabytes. A header claiming more (a damaged or
// hostile file) is refused before anything is allocated for it.
inline constexpr uint64_t maxRenderPixels = uint64_t(1) << 29;

// Decodes the first image of the file at `path`, in its stored orientation, with
// any transparency composited over black. On failure returns nothing and puts the
// message for the user into `error`.
std::optional<Loaded> load(const std::string& path, std::string& error);

// Writes the result in BASE's file type (whatever `path` ends in) with BASE's
// profile and metadata; `quality` 0…1 drives the lossy formats. The file is written
// beside `path` under a temporary name and renamed into place only when complete,
// so a failure leaves an earlier file at `path` as it was. On failure returns false
// with the message for the user in `error`.
bool save(const Output& output, const Source& base, double quality, const std::string& path, std::string& error);

}  // namespace finish
