// Writing the result: in BASE's file type, with BASE's metadata, under a temporary
// name beside OUT that is renamed into place once the file is complete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <span>
#include <string_view>
#include <variant>

#include "imaging/files.h"
#include "imaging/jpeg_header.h"
#include "imaging/library.h"
#include "imaging/metadata.h"
#include "imaging/tiff_metadata.h"

namespace finish {

namespace {

// Lossy writers take a quality "Q" 1…100; lossless ones ignore it.
enum class Compression { lossy, lossless };

struct Writer {
  const char* loader;
  const char* saver;
  Compression compression;
};

using enum Compression;
constexpr Writer writers[] = {
    {"jpegload", "jpegsave", lossy}, {"pngload", "pngsave", lossless}, {"tiffload", "tiffsave", lossless},
    {"webpload", "webpsave", lossy}, {"heifload", "heifsave", lossy},  {"jxlload", "jxlsave", lossy},
    {"jp2kload", "jp2ksave", lossy}, {"gifload", "gifsave", lossless}, {"ppmload", "ppmsave", lossless},
};

const Writer* writerFor(const std::string& loader) {
  for (const Writer& w : writers)
    if (loader == w.loader) return &w;
  return nullptr;
}

// Quality 0…1 on the 1…100 scale of the lossy writers; not-a-number keeps the
// writers' usual 95.
int qualityPercent(double quality) {
  if (std::isnan(quality)) return 95;
  const double q = std::round(quality * 100.0);
  return int(std::clamp(q, 1.0, 100.0));
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The result as an RGB image for the writers, carrying BASE's metadata.
ImageRef resultImage(const Output& output, const Source::Handle& base) {
  const bool narrow = output.bits() == 8;
  ImageRef pixels = std::visit(
      [&]<typename T>(std::span<T> samples) {
        return ImageRef(vips_image_new_from_memory(samples.data(), samples.size_bytes(), output.w, output.h,
                                                   int(componentsOf<T>),
                                                   narrow ? VIPS_FORMAT_UCHAR : VIPS_FORMAT_USHORT));
      },
      output.px);
  if (!pixels) return {};
  VipsImage* rgb = nullptr;
  if (vips_extract_band(pixels.image, &rgb, 0, "n", 3, nullptr) != 0) return {};
  ImageRef rgbRef(rgb);
  VipsImage* tagged = nullptr;
  if (vips_copy(rgb, &tagged, "interpretation", narrow ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_RGB16, "xres",
                base.xres, "yres", base.yres, nullptr) != 0)
    return {};
  for (const auto& [name, value] : base.fields) vips_image_set(tagged, name.c_str(), const_cast<GValue*>(&value));
  return ImageRef(tagged);
}

// Without any of BASE's metadata the writers would still make up an EXIF block of
// their own (resolution, version); OUT gets none, like BASE.
bool stripsAll(const Source::Handle& base) {
  return !base.field(VIPS_META_ICC_NAME) && !base.field(VIPS_META_EXIF_NAME) && !base.field(VIPS_META_XMP_NAME) &&
         !base.field(VIPS_META_IPTC_NAME);
}

bool runWriter(const Writer& writer, const Source::Handle& base, VipsImage* image, const std::string& file,
               int percent) {
  const bool strip = stripsAll(base);
  if (writer.compression == lossless) return vips_call(writer.saver, image, file.c_str(), "strip", strip, nullptr) == 0;
  if (std::string_view(writer.saver) == "heifsave") {
    // Keep AVIF as AVIF: the HEIF writer defaults to HEVC.
    int compression = VIPS_FOREIGN_HEIF_COMPRESSION_HEVC;
    if (const GValue* value = base.field("heif-compression")) {
      const char* nick = G_VALUE_HOLDS(value, VIPS_TYPE_REF_STRING) ? vips_value_get_ref_string(value, nullptr)
                         : G_VALUE_HOLDS_STRING(value)              ? g_value_get_string(value)
                                                                    : nullptr;
      const int found = nick ? vips_enum_from_nick("quillore-finish", VIPS_TYPE_FOREIGN_HEIF_COMPRESSION, nick) : -1;
      if (found >= 0) compression = found;
      vips_error_clear();
    }
    return vips_call(writer.saver, image, file.c_str(), "Q", percent, "compression", compression, "strip", strip,
                     nullptr) == 0;
  }
  return vips_call(writer.saver, image, file.c_str(), "Q", percent, "strip", strip, nullptr) == 0;
}

bool writeWhole(const std::string& file, const std::string& bytes) {
  const int fd = open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  return close(fd) == 0 && done == bytes.size();
}

// BASE's raw EXIF block, or nothing.
std::string_view exifOf(const Source::Handle& base) {
  const GValue* value = base.field(VIPS_META_EXIF_NAME);
  if (!value || !G_VALUE_HOLDS(value, VIPS_TYPE_BLOB)) return {};
  size_t length = 0;
  const void* data = vips_value_get_blob(value, &length);
  return data ? std::string_view(static_cast<const char*>(data), length) : std::string_view();
}

// JPEG is encoded into memory, its header put right (jpeg_header.h), and written
// once.
bool writeJpeg(const Source::Handle& base, VipsImage* image, const std::string& file, int percent) {
  void* encoded = nullptr;
  size_t length = 0;
  if (vips_jpegsave_buffer(image, &encoded, &length, "Q", percent, "strip", stripsAll(base), nullptr) != 0)
    return false;
  const std::optional<std::string> out =
      withBasesJpegHeader(std::string_view(static_cast<const char*>(encoded), length), base.jfif, exifOf(base));
  g_free(encoded);
  return out && writeWhole(file, *out);
}

}  // namespace

bool save(const Output& output, const Source& src, double quality, const std::string& path, std::string& error) {
  const Source::Handle& base = src.handle();
  auto cannotWrite = [&] {
    vips_error_clear();
    error = "cannot write " + path;
    return false;
  };

  const Writer* writer = writerFor(base.loader);
  if (!writer || !vips_type_find("VipsOperation", writer->saver)) return cannotWrite();
  ImageRef image = resultImage(output, base);
  if (!image) return cannotWrite();

  // Written under a temporary name in OUT's folder, then renamed over OUT.
  std::string temporary = folderOf(path) + "/." + nameOf(path) + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) return cannotWrite();
  const mode_t mask = umask(0);
  umask(mask);
  const bool prepared = fchmod(fd, 0666 & ~mask) == 0;
  close(fd);

  const bool jpeg = std::string_view(writer->saver) == "jpegsave";
  bool written = prepared && (jpeg ? writeJpeg(base, image.image, temporary, qualityPercent(quality))
                                   : runWriter(*writer, base, image.image, temporary, qualityPercent(quality)));
  if (written && std::string_view(writer->saver) == "tiffsave") written = copyTiffMetadata(base.path, temporary);
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return cannotWrite();
  }
  return true;
}

}  // namespace finish
