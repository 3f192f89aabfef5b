#include "imaging/tiff_metadata.h"

#include <tiffio.h>

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <vector>

namespace finish {

namespace {

// libtiff reports problems through process-wide handlers, which would print on
// standard error; the caller turns failures into its own message.
class QuietTiff {
 public:
  QuietTiff()
      : error_(TIFFSetErrorHandler([](const char*, const char*, va_list) {})),
        warning_(TIFFSetWarningHandler([](const char*, const char*, va_list) {})) {}
  ~QuietTiff() {
    TIFFSetErrorHandler(error_);
    TIFFSetWarningHandler(warning_);
  }
  QuietTiff(const QuietTiff&) = delete;
  QuietTiff& operator=(const QuietTiff&) = delete;

 private:
  TIFFErrorHandler error_;
  TIFFErrorHandler warning_;
};

struct TiffFile {
  TIFF* tiff;
  TiffFile(const std::string& path, const char* mode) : tiff(TIFFOpen(path.c_str(), mode)) {}
  ~TiffFile() {
    if (tiff) TIFFClose(tiff);
  }
  TiffFile(const TiffFile&) = delete;
  TiffFile& operator=(const TiffFile&) = delete;
};

// Copies one tag of the current directory of `in` to the current directory of
// `out`, whatever its type. True when the tag is absent from `in` or was copied.
bool copyTag(TIFF* in, TIFF* out, uint32_t tag) {
  const TIFFField* field = TIFFFieldWithTag(in, tag);
  if (!field) return true;
  const TIFFDataType type = TIFFFieldDataType(field);
  const int count = TIFFFieldReadCount(field);

  if (TIFFFieldPassCount(field)) {
    void* data = nullptr;
    if (count == TIFF_VARIABLE2) {
      uint32_t n = 0;
      if (!TIFFGetField(in, tag, &n, &data)) return true;
      return TIFFSetField(out, tag, n, data) == 1;
    }
    uint16_t n = 0;
    if (!TIFFGetField(in, tag, &n, &data)) return true;
    return TIFFSetField(out, tag, int(n), data) == 1;
  }
  if (type == TIFF_ASCII) {
    char* text = nullptr;
    if (!TIFFGetField(in, tag, &text) || !text) return true;
    return TIFFSetField(out, tag, text) == 1;
  }
  if (count != 1) {  // a fixed number of values, handed over as an array
    void* data = nullptr;
    if (!TIFFGetField(in, tag, &data) || !data) return true;
    return TIFFSetField(out, tag, data) == 1;
  }
  // One value; the variadic setter takes integers promoted to int and floats
  // promoted to double.
  const int size = TIFFFieldSetGetSize(field);
  const bool real = type == TIFF_RATIONAL || type == TIFF_SRATIONAL || type == TIFF_FLOAT || type == TIFF_DOUBLE;
  if (real && size == 4) {
    float v = 0;
    return !TIFFGetField(in, tag, &v) || TIFFSetField(out, tag, double(v)) == 1;
  }
  if (real && size == 8) {
    double v = 0;
    return !TIFFGetField(in, tag, &v) || TIFFSetField(out, tag, v) == 1;
  }
  switch (size) {
    case 1: {
      uint8_t v = 0;
      return !TIFFGetField(in, tag, &v) || TIFFSetField(out, tag, int(v)) == 1;
    }
    case 2: {
      uint16_t v = 0;
      return !TIFFGetField(in, tag, &v) || TIFFSetField(out, tag, int(v)) == 1;
    }
    case 4: {
      uint32_t v = 0;
      return !TIFFGetField(in, tag, &v) || TIFFSetField(out, tag, v) == 1;
    }
    case 8: {
      uint64_t v = 0;
      return !TIFFGetField(in, tag, &v) || TIFFSetField(out, tag, v) == 1;
    }
    default: return false;
  }
}

uint64_t readUnsigned(const uint8_t* p, size_t n, bool bigEndian) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint64_t(p[bigEndian ? i : n - 1 - i]) << (8 * (n - 1 - i));
  return v;
}

// The tags listed in the directory at `offset` of `in`, read straight from the
// file: the library drops entries whose type it does not expect.
std::vector<uint32_t> listedTags(TIFF* in, uint64_t offset) {
  std::vector<uint32_t> tags;
  const int fd = TIFFFileno(in);
  const bool big = TIFFIsBigTIFF(in), bigEndian = TIFFIsBigEndian(in);
  const size_t countSize = big ? 8 : 2, entrySize = big ? 20 : 12;
  uint8_t head[8];
  if (pread(fd, head, countSize, off_t(offset)) != ssize_t(countSize)) return tags;
  const uint64_t count = std::min<uint64_t>(readUnsigned(head, countSize, bigEndian), 4096);
  std::vector<uint8_t> entries(size_t(count) * entrySize);
  if (pread(fd, entries.data(), entries.size(), off_t(offset + countSize)) != ssize_t(entries.size())) return tags;
  for (size_t i = 0; i < count; ++i) tags.push_back(uint32_t(readUnsigned(&entries[i * entrySize], 2, bigEndian)));
  return tags;
}

enum class Subdirectory { exif, gps };

// Copies the EXIF or GPS directory at `offset` of `in` into a new directory of
// `out`, whose offset goes to `written`. Tags the library does not know (private
// ones) cannot be written and are left out. The EXIF pixel dimensions, which the
// library reads only when stored as 32-bit values, are the picture's size.
bool copySubdirectory(TIFF* in, TIFF* out, uint64_t offset, Subdirectory kind, uint32_t w, uint32_t h,
                      uint64_t& written) {
  const bool gps = kind == Subdirectory::gps;
  if (!(gps ? TIFFReadGPSDirectory(in, offset) : TIFFReadEXIFDirectory(in, offset))) return false;
  if (gps ? TIFFCreateGPSDirectory(out) : TIFFCreateEXIFDirectory(out)) return false;
  const int tags = TIFFGetTagListCount(in);
  for (int i = 0; i < tags; ++i) {
    const uint32_t tag = TIFFGetTagListEntry(in, i);
    const TIFFField* field = TIFFFieldWithTag(in, tag);
    if (!field || TIFFFieldIsAnonymous(field)) continue;
    copyTag(in, out, tag);
  }
  if (!gps) {
    for (const uint32_t tag : listedTags(in, offset)) {
      uint32_t ignored = 0;
      if (tag == EXIFTAG_PIXELXDIMENSION && !TIFFGetField(in, tag, &ignored)) TIFFSetField(out, tag, w);
      if (tag == EXIFTAG_PIXELYDIMENSION && !TIFFGetField(in, tag, &ignored)) TIFFSetField(out, tag, h);
    }
  }
  return TIFFWriteCustomDirectory(out, &written) == 1;
}

// The resolution is BASE's exact one too: the image library passes it through a
// float in pixels per millimetre.
constexpr uint32_t descriptiveTags[] = {
    TIFFTAG_DOCUMENTNAME, TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_MAKE,        TIFFTAG_MODEL,        TIFFTAG_PAGENAME,
    TIFFTAG_SOFTWARE,     TIFFTAG_DATETIME,         TIFFTAG_ARTIST,      TIFFTAG_HOSTCOMPUTER, TIFFTAG_COPYRIGHT,
    TIFFTAG_RICHTIFFIPTC, TIFFTAG_PHOTOSHOP,        TIFFTAG_XRESOLUTION, TIFFTAG_YRESOLUTION,  TIFFTAG_RESOLUTIONUNIT,
};

}  // namespace

bool copyTiffMetadata(const std::string& base, const std::string& out) {
  QuietTiff quiet;
  TiffFile in(base, "rm");
  TiffFile result(out, "r+c");  // c: keep the strips as written, unchopped
  if (!in.tiff || !result.tiff) return false;

  uint32_t w = 0, h = 0;
  TIFFGetField(in.tiff, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(in.tiff, TIFFTAG_IMAGELENGTH, &h);
  uint64_t exifIn = 0, gpsIn = 0, exifOut = 0, gpsOut = 0;
  const bool exif = TIFFGetField(in.tiff, TIFFTAG_EXIFIFD, &exifIn) && exifIn;
  const bool gps = TIFFGetField(in.tiff, TIFFTAG_GPSIFD, &gpsIn) && gpsIn;
  if (exif && !copySubdirectory(in.tiff, result.tiff, exifIn, Subdirectory::exif, w, h, exifOut)) return false;
  if (gps && !copySubdirectory(in.tiff, result.tiff, gpsIn, Subdirectory::gps, w, h, gpsOut)) return false;

  if (!TIFFSetDirectory(in.tiff, 0) || !TIFFSetDirectory(result.tiff, 0)) return false;
  for (uint32_t tag : descriptiveTags)
    if (!copyTag(in.tiff, result.tiff, tag)) return false;
  if (exif && !TIFFSetField(result.tiff, TIFFTAG_EXIFIFD, exifOut)) return false;
  if (gps && !TIFFSetField(result.tiff, TIFFTAG_GPSIFD, gpsOut)) return false;
  return TIFFRewriteDirectory(result.tiff) == 1;
}

}  // namespace finish
