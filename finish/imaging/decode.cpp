// Decoding a render: the image library opens the file and reads its header; plain
// JPEG renders then go to the libjpeg path (decode_jpeg.h), everything else is read
// through the library, strip by strip, into the pixel buffer.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>
#include <variant>

#include "imaging/decode_jpeg.h"
#include "imaging/files.h"
#include "imaging/library.h"
#include "imaging/metadata.h"

namespace finish {

namespace {

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

// Rows of samples of the buffer's own format, copied or composited over black when
// `alpha` is set (rounded to the nearest value): 8-bit ones into RGBX, 16-bit ones
// into RGB (16-bit buffers have no X).
template <Component T>
void rowFromNative(const T* src, int bands, bool alpha, int w, T* dst) {
  using Wide = std::conditional_t<std::same_as<T, uint8_t>, unsigned, uint64_t>;
  constexpr T top = std::numeric_limits<T>::max();
  for (int x = 0; x < w; ++x, src += bands, dst += componentsOf<T>) {
    if (alpha) {
      const Wide a = src[3];
      for (int c = 0; c < 3; ++c) dst[c] = T((Wide(src[c]) * a + top / 2) / top);
    } else {
      dst[0] = src[0], dst[1] = src[1], dst[2] = src[2];
    }
    if constexpr (componentsOf<T> == 4) dst[3] = top;
  }
}

// Any other sample format: scaled to the buffer's range through a fraction.
template <typename T, Component Out>
void rowFromOther(const T* src, int bands, bool alpha, int w, Out* dst) {
  const double top = double(std::numeric_limits<Out>::max());
  constexpr size_t stride = componentsOf<Out>;
  for (int x = 0; x < w; ++x, src += bands, dst += stride) {
    const double a = alpha ? fraction(src, 3) : 1.0;
    for (int c = 0; c < 3; ++c) dst[c] = Out(std::lround(fraction(src, c) * a * top));
    if constexpr (stride == 4) dst[3] = std::numeric_limits<Out>::max();
  }
}

template <Component Out>
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

// The image library's sample format of each depth.
template <Component T>
constexpr VipsBandFormat nativeFormat = std::same_as<T, uint8_t> ? VIPS_FORMAT_UCHAR : VIPS_FORMAT_USHORT;

// Decodes every pixel of `image` into `out`, one strip of rows at a time, top to
// bottom (the order a sequential reader needs).
template <Component T>
bool decodePixels(VipsImage* image, bool alpha, Samples<T>& out) {
  const VipsBandFormat format = image->BandFmt;
  const int bands = image->Bands;
  const int w = image->Xsize, h = image->Ysize;
  constexpr size_t components = componentsOf<T>;
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
    out.resize(size_t(top + rect.height) * size_t(w) * components);
    for (int y = top; ok && y < top + rect.height; ++y) {
      const void* row = VIPS_REGION_ADDR(region, 0, y);
      T* into = out.data() + size_t(y) * size_t(w) * components;
      if (format == nativeFormat<T>) rowFromNative(static_cast<const T*>(row), bands, alpha, w, into);
      else ok = rowFromAny(format, row, bands, alpha, w, into);
    }
  }
  g_object_unref(region);
  return ok;
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
  if (!narrow) out.px.emplace<Samples16>();
  if (vips_image_get_typeof(image, VIPS_META_ICC_NAME)) {
    const void* icc = nullptr;
    size_t length = 0;
    if (vips_image_get_blob(image, VIPS_META_ICC_NAME, &icc, &length) == 0 && icc)
      out.space.assign(static_cast<const char*>(icc), length);
  }
  // Room for every pixel, filled strip by strip as rows are decoded: a file that
  // claims more rows than it holds fails before most of the memory is touched.
  std::visit([&]<typename T>(Samples<T>& samples) { samples.reserve(componentsOf<T> * out.n()); }, out.px);

  const bool alpha = image->Bands >= 4 && vips_image_hasalpha(image);
  const char* loader = nullptr;
  const bool jpeg = vips_image_get_string(file.image, VIPS_META_LOADER, &loader) == 0 && loader &&
                    std::string_view(loader).starts_with("jpegload") && image == file.image && image->Bands == 3 &&
                    image->BandFmt == VIPS_FORMAT_UCHAR && model == VIPS_INTERPRETATION_sRGB;
  const bool read = std::visit(
      [&]<typename T>(Samples<T>& samples) {
        if constexpr (std::same_as<T, uint8_t>)
          if (jpeg && decodeJpeg(path, out.w, out.h, samples)) return true;
        return decodePixels(image, alpha, samples);
      },
      out.px);
  if (!read) return cannotRead();

  std::shared_ptr<Source::Handle> handle = keepMetadata(file.image);
  handle->path = path;
  if (handle->loader == "jpegload") handle->jfif = jfifSegment(path);
  Loaded loaded{std::move(out), Source(std::move(handle))};
  return loaded;
}

}  // namespace finish
