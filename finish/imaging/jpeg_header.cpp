#include "imaging/jpeg_header.h"

#include <cstdint>

namespace finish {

std::optional<std::string> withBasesJpegHeader(std::string_view in, std::string_view jfif, std::string_view exif) {
  static constexpr std::string_view exifHeader{"Exif\0\0", 6};
  std::string block;
  if (!exif.empty()) {
    if (!exif.starts_with(exifHeader)) block = exifHeader;
    block += exif;
  }
  if (block.size() + 2 > 0xFFFF) return std::nullopt;

  auto byte = [&](size_t i) { return uint8_t(in[i]); };
  if (in.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8) return std::nullopt;

  std::string out(in.substr(0, 2));
  out += jfif;
  if (!block.empty()) {
    const size_t length = block.size() + 2;
    out += {char(0xFF), char(0xE1), char(length >> 8), char(length & 0xFF)};
    out += block;
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

}  // namespace finish
