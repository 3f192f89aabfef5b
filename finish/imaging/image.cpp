#include "imaging/image.h"

#include "imaging/parallel.h"
#include "imaging/tiff_metadata.h"

#include <vips/vips.h>

#include <jpeglib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

namespace finish {

// ---------------------------------------------------------------------------
// Channels and the result buffer

namespace {

// An RGBX pixel of 8-bit components read as one word: its type, the top of a
// component's range, and where component c sits in the word.
template <typename T>
struct PixelWord {
  using Word = std::conditional_t<sizeof(T) == 1, uint32_t, uint64_t>;
  static constexpr Word mask = Word(std::numeric_limits<T>::max());
  static constexpr float top = float(std::numeric_limits<T>::max());
  static unsigned shift(int c) {
    return unsigned(8 * sizeof(T) * size_t(std::endian::native == std::endian::little ? c : 3 - c));
  }
};

// Component c of `count` pixels as fractions, float(v) / top. Each pixel is read as
// one word and the component shifted out, so that the loop vectorises (the division
// stays a division: multiplying by 1/top would round some values differently).
template <typename T>
inline void fractions(const T* px, int c, float* out, size_t count) {
  using P = PixelWord<T>;
  const unsigned shift = P::shift(c);
  for (size_t i = 0; i < count; ++i) {
    typename P::Word pixel;
    std::memcpy(&pixel, px + 4 * i, sizeof pixel);
    out[i] = float(int32_t((pixel >> shift) & P::mask)) / P::top;
  }
}

// The same for RGB pixels of 16-bit components.
inline void fractionsRgb(const uint16_t* px, int c, float* out, size_t count) {
  const uint16_t* at = px + c;
  for (size_t i = 0; i < count; ++i) out[i] = float(int32_t(at[3 * i])) / 65535.0f;
}

FINISH_VECTOR_CLONES void fractions8(const uint8_t* px, int c, float* out, size_t count) {
  fractions(px, c, out, count);
}

FINISH_VECTOR_CLONES void fractions16(const uint16_t* px, int c, float* out, size_t count) {
  fractionsRgb(px, c, out, count);
}

}  // namespace

void Image::channelRange(int c, size_t begin, size_t end, float* out) const {
  if (bits == 8) fractions8(px8.data() + 4 * begin, c, out, end - begin);
  else fractions16(px16.data() + 3 * begin, c, out, end - begin);
}

Plane Image::channel(int c) const {
  Plane plane(n());
  parallelFor(n(), size_t(1) << 16,
              [&](size_t begin, size_t end) { channelRange(c, begin, end, plane.data() + begin); });
  return plane;
}

// Filled over the pool: the first write to fresh memory is where the kernel maps
// and clears each page, which on one thread was a pause of its own.
Output::Output(const Image& like) : w(like.w), h(like.h), bits(like.bits) {
  const size_t count = pixelComponents(like.bits) * like.n();
  auto fill = [count](auto& samples, auto top) {
    samples.resize(count);
    parallelFor(count, size_t(1) << 20, [&](size_t begin, size_t end) {
      std::fill(samples.begin() + ptrdiff_t(begin), samples.begin() + ptrdiff_t(end), top);
    });
  };
  if (bits == 8) {
    fill(own8_, uint8_t(255));
    px8 = own8_;
  } else {
    fill(own16_, uint16_t(65535));
    px16 = own16_;
  }
}

Output::Output(Image& base, Over) : w(base.w), h(base.h), bits(base.bits), px8(base.px8), px16(base.px16) {}

namespace {

// Scales a channel value to 0…top, rounding halves away from zero; not-a-number
// gives top. Written without a call to round or early returns so that the loop
// vectorises: clamped to 0…top first, x − trunc(x) is exact, and the half is rounded
// up.
template <typename T>
inline T quantise(float value, float top) {
  const float x = value * top;
  const float below = x < top ? x : top;  // not-a-number gives top
  const float inside = below >= 0.0f ? below : 0.0f;
  const int t = int(inside);
  return T(t + (inside - float(t) >= 0.5f ? 1 : 0));
}

// Component c of `count` RGBX pixels replaced by the quantised values. Each pixel
// is read and written back as one word with the component put in, so that the loop
// vectorises.
template <typename T>
inline void putComponent(const float* __restrict values, T* __restrict pixels, int c, size_t count) {
  using P = PixelWord<T>;
  using Word = typename P::Word;
  const unsigned shift = P::shift(c);
  const Word keep = ~(P::mask << shift);
  for (size_t i = 0; i < count; ++i) {
    Word pixel;
    std::memcpy(&pixel, pixels + 4 * i, sizeof pixel);
    pixel = (pixel & keep) | (Word(uint32_t(quantise<int32_t>(values[i], P::top))) << shift);
    std::memcpy(pixels + 4 * i, &pixel, sizeof pixel);
  }
}

FINISH_VECTOR_CLONES void putComponent8(const float* __restrict values, uint8_t* __restrict pixels, int c,
                                        size_t count) {
  putComponent(values, pixels, c, count);
}

FINISH_VECTOR_CLONES void putComponent16(const float* __restrict values, uint16_t* __restrict pixels, int c,
                                         size_t count) {
  uint16_t* at = pixels + c;
  for (size_t i = 0; i < count; ++i) at[3 * i] = uint16_t(quantise<int32_t>(values[i], 65535.0f));
}

}  // namespace

void Output::putRange(int c, const float* values, size_t begin, size_t end) {
  const size_t count = end - begin;
  if (bits == 8) putComponent8(values, px8.data() + 4 * begin, c, count);
  else putComponent16(values, px16.data() + 3 * begin, c, count);
}

void Output::put(int c, const Plane& plane) {
  const size_t count = size_t(w) * size_t(h);
  parallelFor(count, size_t(1) << 16, [&](size_t begin, size_t end) { putRange(c, plane.data() + begin, begin, end); });
}

// ---------------------------------------------------------------------------
// Library start and small helpers

namespace {

// The library's optional modules (PDF, OpenSlide, JPEG XL, HEIF/AVIF and
// ImageMagick readers and writers, with the libraries they pull in) took half of
// the program's start-up: the library is started without them.
std::string& modulesFolder() {
  static std::string folder;
  return folder;
}

}  // namespace

void loadFormatModules() {
  static std::once_flag once;
  std::call_once(once, [] {
    GDir* dir = g_dir_open(modulesFolder().c_str(), 0, nullptr);
    if (!dir) return;
    while (const char* name = g_dir_read_name(dir)) {
      if (!g_str_has_suffix(name, "." G_MODULE_SUFFIX)) continue;
      const std::string path = modulesFolder() + "/" + name;
      // Opening a module registers its readers and writers.
      if (GModule* module = g_module_open(path.c_str(), G_MODULE_BIND_LAZY)) g_module_make_resident(module);
    }
    g_dir_close(dir);
  });
}

bool startImaging(const char* programName) {
  // A run reports its one message itself; the library's warnings (about damaged
  // files or plug-ins it cannot load, for instance) would only add noise on
  // standard error.
  g_log_set_handler(
      "VIPS", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG),
      [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);

  // The library finds its modules under $VIPSHOME/lib when VIPSHOME is set, and in
  // its own library folder otherwise: for its start VIPSHOME points at a place
  // without any, then gets its old value back. Nothing else runs yet, so changing
  // the environment races with no one.
  const char* home = std::getenv("VIPSHOME");
  const std::optional<std::string> saved = home ? std::optional<std::string>(home) : std::nullopt;
  modulesFolder() = (saved ? *saved + "/lib" : std::string(QUILLORE_VIPS_LIBDIR)) + "/vips-modules-" +
                    std::to_string(VIPS_MAJOR_VERSION) + "." + std::to_string(VIPS_MINOR_VERSION);
  setenv("VIPSHOME", "/dev/null", 1);
  const bool started = VIPS_INIT(programName) == 0;
  if (saved) setenv("VIPSHOME", saved->c_str(), 1);
  else unsetenv("VIPSHOME");
  if (!started) return false;
  // One render is read top to bottom once; caching operations buys nothing.
  vips_cache_set_max(0);
  return true;
}

namespace {

struct ImageRef {
  VipsImage* image = nullptr;
  ImageRef() = default;
  explicit ImageRef(VipsImage* i) : image(i) {}
  ImageRef(const ImageRef&) = delete;
  ImageRef& operator=(const ImageRef&) = delete;
  ImageRef(ImageRef&& o) noexcept : image(std::exchange(o.image, nullptr)) {}
  ImageRef& operator=(ImageRef&& o) noexcept {
    std::swap(image, o.image);
    return *this;
  }
  ~ImageRef() {
    if (image) g_object_unref(image);
  }
  VipsImage* operator->() const { return image; }
  explicit operator bool() const { return image != nullptr; }
};

// Metadata that travels from BASE to OUT: the colour profile, EXIF (the raw block
// and the parsed tags the writers rebuild it from), XMP, IPTC, orientation and
// resolution unit, and PNG text chunks.
bool isCarriedField(std::string_view name) {
  return name == VIPS_META_ICC_NAME || name == VIPS_META_EXIF_NAME || name == VIPS_META_XMP_NAME ||
         name == VIPS_META_IPTC_NAME || name == VIPS_META_ORIENTATION || name == VIPS_META_RESOLUTION_UNIT ||
         name.starts_with("exif-ifd") || name.starts_with("png-comment-") || name == "heif-compression";
}

}  // namespace

struct Source::Handle {
  std::string path;    // BASE's file, for the metadata the image library leaves behind
  std::string jfif;    // a JPEG BASE's JFIF segment (marker included), or empty
  std::string loader;  // the loader's nickname without its "_source"/"_file" suffix
  double xres = 1.0;
  double yres = 1.0;
  std::vector<std::pair<std::string, GValue>> fields;

  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    for (auto& field : fields) g_value_unset(&field.second);
  }

  const GValue* field(std::string_view name) const {
    for (const auto& f : fields)
      if (f.first == name) return &f.second;
    return nullptr;
  }
};

namespace {

std::shared_ptr<Source::Handle> keepMetadata(VipsImage* image) {
  auto handle = std::make_shared<Source::Handle>();
  const char* loader = nullptr;
  if (vips_image_get_typeof(image, VIPS_META_LOADER) && vips_image_get_string(image, VIPS_META_LOADER, &loader) == 0 &&
      loader) {
    std::string name = loader;
    for (std::string_view suffix : {"_source", "_file", "_buffer"})
      if (name.ends_with(suffix)) name.resize(name.size() - suffix.size());
    handle->loader = name;
  }
  handle->xres = image->Xres;
  handle->yres = image->Yres;
  gchar** names = vips_image_get_fields(image);
  for (gchar** p = names; p && *p; ++p) {
    if (!isCarriedField(*p)) continue;
    GValue value = G_VALUE_INIT;
    if (vips_image_get(image, *p, &value) == 0) handle->fields.emplace_back(*p, value);
  }
  g_strfreev(names);
  return handle;
}

bool isRgbModel(VipsInterpretation kind) {
  switch (kind) {
    case VIPS_INTERPRETATION_sRGB:
    case VIPS_INTERPRETATION_RGB:
    case VIPS_INTERPRETATION_RGB16:
    case VIPS_INTERPRETATION_scRGB:
    case VIPS_INTERPRETATION_MULTIBAND: return true;
    default: return false;
  }
}

// Reads sample `band` of one pixel as a fraction of the format's full scale.
template <typename T>
inline double fraction(const T* pixel, int band) {
  const double v = double(pixel[band]);
  if constexpr (std::is_floating_point_v<T>) {
    return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0);
  } else {
    return std::clamp(v / double(std::numeric_limits<T>::max()), 0.0, 1.0);
  }
}

// Rows of 8-bit samples: copied, or composited over black when `alpha` is set.
void rowFrom8(const uint8_t* src, int bands, bool alpha, int w, uint8_t* dst) {
  for (int x = 0; x < w; ++x, src += bands, dst += 4) {
    if (alpha) {
      const unsigned a = src[3];
      for (int c = 0; c < 3; ++c) dst[c] = uint8_t((src[c] * a + 127) / 255);
    } else {
      dst[0] = src[0], dst[1] = src[1], dst[2] = src[2];
    }
    dst[3] = 255;
  }
}

// Into RGB: 16-bit buffers have no X.
void rowFrom16(const uint16_t* src, int bands, bool alpha, int w, uint16_t* dst) {
  for (int x = 0; x < w; ++x, src += bands, dst += 3) {
    if (alpha) {
      const uint64_t a = src[3];
      for (int c = 0; c < 3; ++c) dst[c] = uint16_t((src[c] * a + 32767) / 65535);
    } else {
      dst[0] = src[0], dst[1] = src[1], dst[2] = src[2];
    }
  }
}

// Any other sample format: scaled to the buffer's range through a fraction.
template <typename T, typename Out>
void rowFromOther(const T* src, int bands, bool alpha, int w, Out* dst) {
  const double top = double(std::numeric_limits<Out>::max());
  constexpr size_t stride = pixelComponents(sizeof(Out) == 1 ? 8 : 16);
  for (int x = 0; x < w; ++x, src += bands, dst += stride) {
    const double a = alpha ? fraction(src, 3) : 1.0;
    for (int c = 0; c < 3; ++c) dst[c] = Out(std::lround(fraction(src, c) * a * top));
    if constexpr (stride == 4) dst[3] = std::numeric_limits<Out>::max();
  }
}

template <typename Out>
bool rowFromAny(VipsBandFormat format, const void* row, int bands, bool alpha, int w, Out* dst) {
  switch (format) {
    case VIPS_FORMAT_CHAR: rowFromOther(static_cast<const int8_t*>(row), bands, alpha, w, dst); return true;
    case VIPS_FORMAT_SHORT: rowFromOther(static_cast<const int16_t*>(row), bands, alpha, w, dst); return true;
    case VIPS_FORMAT_UINT: rowFromOther(static_cast<const uint32_t*>(row), bands, alpha, w, dst); return true;
    case VIPS_FORMAT_INT: rowFromOther(static_cast<const int32_t*>(row), bands, alpha, w, dst); return true;
    case VIPS_FORMAT_FLOAT: rowFromOther(static_cast<const float*>(row), bands, alpha, w, dst); return true;
    case VIPS_FORMAT_DOUBLE: rowFromOther(static_cast<const double*>(row), bands, alpha, w, dst); return true;
    default: return false;
  }
}

// Decodes every pixel of `image` into the buffer of `out`, one strip of rows
// at a time, top to bottom (the order a sequential reader needs).
bool decodePixels(VipsImage* image, bool alpha, Image& out) {
  const VipsBandFormat format = image->BandFmt;
  const int bands = image->Bands;
  const int w = out.w, h = out.h;
  VipsRegion* region = vips_region_new(image);
  if (!region) return false;
  bool ok = true;
  const int strip = 64;
  for (int top = 0; ok && top < h; top += strip) {
    VipsRect rect{0, top, w, std::min(strip, h - top)};
    if (vips_region_prepare(region, &rect) != 0) {
      ok = false;
      break;
    }
    const size_t components = pixelComponents(out.bits);
    const size_t filled = size_t(top + rect.height) * size_t(w) * components;
    if (out.bits == 8) out.px8.resize(filled);
    else out.px16.resize(filled);
    for (int y = top; ok && y < top + rect.height; ++y) {
      const void* row = VIPS_REGION_ADDR(region, 0, y);
      const size_t at = size_t(y) * size_t(w) * components;
      if (out.bits == 8) {
        if (format == VIPS_FORMAT_UCHAR)
          rowFrom8(static_cast<const uint8_t*>(row), bands, alpha, w, out.px8.data() + at);
        else ok = rowFromAny(format, row, bands, alpha, w, out.px8.data() + at);
      } else {
        if (format == VIPS_FORMAT_USHORT)
          rowFrom16(static_cast<const uint16_t*>(row), bands, alpha, w, out.px16.data() + at);
        else ok = rowFromAny(format, row, bands, alpha, w, out.px16.data() + at);
      }
    }
  }
  g_object_unref(region);
  return ok;
}

// The JFIF segment of a JPEG file, which the JFIF format puts right after the
// start-of-image marker; empty when there is none.
std::string jfifSegment(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string segment;
  uint8_t head[6];
  if (pread(fd, head, sizeof head, 0) == ssize_t(sizeof head) && head[0] == 0xFF && head[1] == 0xD8 &&
      head[2] == 0xFF && head[3] == 0xE0) {
    const size_t length = size_t(head[4]) << 8 | head[5];
    segment.resize(2 + length);
    if (length < 7 || pread(fd, segment.data(), segment.size(), 2) != ssize_t(segment.size()) ||
        segment.compare(4, 5, std::string_view("JFIF\0", 5)) != 0)
      segment.clear();
  }
  close(fd);
  return segment;
}

}  // namespace

namespace {

// JPEG renders are decoded straight into the RGBX buffer with libjpeg, the decoder
// the image library itself uses for them, with the same settings (and so the same
// pixels): about a third faster than through the library's strips and copies.
// Anything unusual (a warning about the data, a different shape) gives up without
// deciding anything, and the library's own reader takes the file.
struct JpegFailure {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void jpegGiveUp(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegFailure*>(info->err)->jump, 1); }

void jpegMessage(j_common_ptr info, int level) {
  if (level < 0) jpegGiveUp(info);  // a warning: damaged or cut data
}

// Only plain data lives in this frame, so that leaving it by longjmp skips no
// destructor.
bool decodeJpegInto(FILE* file, Image& out) {
  jpeg_decompress_struct info;
  JpegFailure failure;
  info.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = jpegGiveUp;
  failure.manager.emit_message = jpegMessage;
  if (setjmp(failure.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  const bool plain = info.num_components == 3 && info.data_precision == 8 &&
                     (info.jpeg_color_space == JCS_YCbCr || info.jpeg_color_space == JCS_RGB) &&
                     int(info.image_width) == out.w && int(info.image_height) == out.h;
  if (!plain) jpegGiveUp(reinterpret_cast<j_common_ptr>(&info));
  info.out_color_space = JCS_EXT_RGBX;
  jpeg_start_decompress(&info);
  if (info.output_components != 4) jpegGiveUp(reinterpret_cast<j_common_ptr>(&info));
  const size_t stride = 4 * size_t(out.w);
  out.px8.resize(stride * size_t(out.h));
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[16];
    const JDIMENSION first = info.output_scanline;
    const JDIMENSION count = std::min<JDIMENSION>(16, info.output_height - first);
    for (JDIMENSION i = 0; i < count; ++i) rows[i] = out.px8.data() + size_t(first + i) * stride;
    jpeg_read_scanlines(&info, rows, count);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

// X comes out as 0xFF, the maximum, as decodePixels leaves it.
bool decodeJpeg(const std::string& path, Image& out) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  const bool decoded = decodeJpegInto(file, out);
  std::fclose(file);
  if (!decoded) out.px8.clear();
  return decoded;
}

}  // namespace

std::optional<Loaded> load(const std::string& path, std::string& error) {
  auto cannotRead = [&](const char* why = nullptr) -> std::optional<Loaded> {
    vips_error_clear();
    error = "cannot read " + path;
    if (why) error += why;
    return std::nullopt;
  };

  // A source rather than a file name: the path is used as typed, never parsed
  // for load options in brackets.
  VipsSource* source = vips_source_new_from_file(path.c_str());
  if (!source) return cannotRead();
  if (!vips_foreign_find_load_source(source)) {
    vips_error_clear();
    loadFormatModules();
  }
  ImageRef file(vips_image_new_from_source(source, "", "access", VIPS_ACCESS_SEQUENTIAL, "fail_on",
                                           VIPS_FAIL_ON_TRUNCATED, nullptr));
  g_object_unref(source);
  if (!file) return cannotRead();

  ImageRef decoded;
  VipsImage* image = file.image;
  if (image->Coding != VIPS_CODING_NONE) {
    VipsImage* plain = nullptr;
    if (vips_image_decode(image, &plain) != 0) return cannotRead();
    decoded = ImageRef(plain);
    image = plain;
  }

  const VipsInterpretation model = vips_image_get_interpretation(image);
  const bool complex = vips_band_format_iscomplex(image->BandFmt);
  if (image->Bands < 3 || !isRgbModel(model) || complex)
    return cannotRead(" (only RGB renders can be finished, not grey-scale, CMYK or other colour models)");

  if (uint64_t(image->Xsize) * uint64_t(image->Ysize) > maxRenderPixels)
    return cannotRead(" (more pixels than any render has)");

  Image out;
  out.w = image->Xsize;
  out.h = image->Ysize;
  const bool narrow = image->BandFmt == VIPS_FORMAT_UCHAR || image->BandFmt == VIPS_FORMAT_CHAR;
  out.bits = narrow ? 8 : 16;
  if (vips_image_get_typeof(image, VIPS_META_ICC_NAME)) {
    const void* icc = nullptr;
    size_t length = 0;
    if (vips_image_get_blob(image, VIPS_META_ICC_NAME, &icc, &length) == 0 && icc)
      out.space.assign(static_cast<const char*>(icc), length);
  }
  // Room for every pixel, filled strip by strip as rows are decoded: a file that
  // claims more rows than it holds fails before most of the memory is touched.
  if (out.bits == 8) out.px8.reserve(pixelComponents(8) * out.n());
  else out.px16.reserve(pixelComponents(16) * out.n());

  const bool alpha = image->Bands >= 4 && vips_image_hasalpha(image);
  const char* loader = nullptr;
  const bool jpeg = vips_image_get_string(file.image, VIPS_META_LOADER, &loader) == 0 && loader &&
                    std::string_view(loader).starts_with("jpegload") && image == file.image && image->Bands == 3 &&
                    image->BandFmt == VIPS_FORMAT_UCHAR && model == VIPS_INTERPRETATION_sRGB;
  if (!(jpeg && decodeJpeg(path, out)) && !decodePixels(image, alpha, out)) return cannotRead();

  std::shared_ptr<Source::Handle> handle = keepMetadata(file.image);
  handle->path = path;
  if (handle->loader == "jpegload") handle->jfif = jfifSegment(path);
  Loaded loaded{std::move(out), Source(std::move(handle))};
  return loaded;
}

// ---------------------------------------------------------------------------
// Writing

namespace {

struct Writer {
  const char* loader;
  const char* saver;
  bool lossy;  // takes a quality "Q" 1…100
};

constexpr Writer writers[] = {
    {"jpegload", "jpegsave", true}, {"pngload", "pngsave", false},  {"tiffload", "tiffsave", false},
    {"webpload", "webpsave", true}, {"heifload", "heifsave", true}, {"jxlload", "jxlsave", true},
    {"jp2kload", "jp2ksave", true}, {"gifload", "gifsave", false},  {"ppmload", "ppmsave", false},
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
  const bool narrow = output.bits == 8;
  const void* data =
      narrow ? static_cast<const void*>(output.px8.data()) : static_cast<const void*>(output.px16.data());
  const size_t bytes = narrow ? output.px8.size() : output.px16.size() * 2;
  ImageRef pixels(vips_image_new_from_memory(data, bytes, output.w, output.h, int(pixelComponents(output.bits)),
                                             narrow ? VIPS_FORMAT_UCHAR : VIPS_FORMAT_USHORT));
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
  if (!writer.lossy) return vips_call(writer.saver, image, file.c_str(), "strip", strip, nullptr) == 0;
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

// The JPEG writer rebuilds EXIF from its parsed tags: it adds the pixel
// dimensions and rewrites the resolution in its own units; and it leaves out the
// JFIF segment when there is EXIF. OUT has BASE's size and orientation, so BASE's
// own segments are exact: they replace the writer's (and a BASE without EXIF or
// JFIF gives an OUT without them).
std::optional<std::string> withBasesJpegHeader(std::string_view in, const Source::Handle& base) {
  static constexpr std::string_view exifHeader{"Exif\0\0", 6};
  std::string exif;
  if (const GValue* value = base.field(VIPS_META_EXIF_NAME); value && G_VALUE_HOLDS(value, VIPS_TYPE_BLOB)) {
    size_t length = 0;
    const void* data = vips_value_get_blob(value, &length);
    if (data && length) exif.assign(static_cast<const char*>(data), length);
    if (!exif.empty() && !std::string_view(exif).starts_with(exifHeader)) exif.insert(0, exifHeader);
  }
  if (exif.size() + 2 > 0xFFFF) return std::nullopt;

  auto byte = [&](size_t i) { return uint8_t(in[i]); };
  if (in.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8) return std::nullopt;

  std::string out(in.substr(0, 2));
  out += base.jfif;
  if (!exif.empty()) {
    const size_t length = exif.size() + 2;
    out += {char(0xFF), char(0xE1), char(length >> 8), char(length & 0xFF)};
    out += exif;
  }
  // Copy the application and comment segments that precede the image data,
  // leaving out the writer's JFIF and EXIF segments.
  size_t at = 2;
  while (at + 4 <= in.size() && byte(at) == 0xFF) {
    const uint8_t marker = byte(at + 1);
    if (!((marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE)) break;
    const size_t length = size_t(byte(at + 2)) << 8 | byte(at + 3);
    if (length < 2 || at + 2 + length > in.size()) return std::nullopt;
    const std::string_view payload = in.substr(at + 4, length - 2);
    const bool isExif = marker == 0xE1 && payload.starts_with(exifHeader);
    const bool isJfif = marker == 0xE0 && payload.starts_with(std::string_view("JFIF\0", 5));
    if (!isExif && !isJfif) out.append(in.substr(at, 2 + length));
    at += 2 + length;
  }
  out.append(in.substr(at));
  return out;
}

// JPEG is encoded into memory, its header put right, and written once.
bool writeJpeg(const Source::Handle& base, VipsImage* image, const std::string& file, int percent) {
  void* encoded = nullptr;
  size_t length = 0;
  if (vips_jpegsave_buffer(image, &encoded, &length, "Q", percent, "strip", stripsAll(base), nullptr) != 0)
    return false;
  const std::optional<std::string> out =
      withBasesJpegHeader(std::string_view(static_cast<const char*>(encoded), length), base);
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
