// The JPEG result's header: BASE's JFIF and EXIF segments in place of the writer's,
// everything else as the writer made it.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "imaging/jpeg_header.h"

using finish::withBasesJpegHeader;

namespace {

using namespace std::string_literals;

const std::string soi = "\xFF\xD8"s;
// What follows the header: a quantisation table, the scan, the end marker. An
// EXIF-like segment inside it is not the header's and stays.
const std::string body = "\xFF\xDB\x00\x04\x01\x02"s + "\xFF\xE1\x00\x08"s + "Exif\0\0"s + "\xFF\xDA scan \xFF\xD9"s;

// One segment: marker, length (payload + 2, big-endian), payload.
std::string segment(unsigned char marker, const std::string& payload) {
  const size_t length = payload.size() + 2;
  return "\xFF"s + char(marker) + char(length >> 8) + char(length & 0xFF) + payload;
}

const std::string writersJfif = segment(0xE0, "JFIF\0\x01\x01 writer"s);
const std::string writersExif = segment(0xE1, "Exif\0\0II writer"s);
const std::string icc = segment(0xE2, "ICC_PROFILE\0\x01\x01 profile"s);
const std::string xmp = segment(0xE1, "http://ns.adobe.com/xap/1.0/\0<x/>"s);
const std::string comment = segment(0xFE, "made here");
const std::string basesJfif = segment(0xE0, "JFIF\0\x01\x02 base"s);
const std::string basesExif = "Exif\0\0MM base"s;

}  // namespace

TEST(JpegHeader, BasesSegmentsReplaceTheWritersAndTheRestStays) {
  struct Case {
    const char* name;
    std::string encoded, jfif, exif;
    std::optional<std::string> expected;
  };
  const std::string tooLong(0xFFFF - 2 - 6 + 1, 'x');  // one byte over a segment, once the header is added
  const std::string longest(0xFFFF - 2 - 6, 'x');
  const Case cases[] = {
      {"JFIF and EXIF replaced, other segments kept in order", soi + writersJfif + writersExif + icc + comment + body,
       basesJfif, basesExif, soi + basesJfif + segment(0xE1, basesExif) + icc + comment + body},
      {"EXIF without its header gets one", soi + writersExif + body, "", "MM base",
       soi + segment(0xE1, basesExif) + body},
      {"a BASE without JFIF or EXIF gives a file without them", soi + writersJfif + writersExif + icc + body, "", "",
       soi + icc + body},
      {"XMP in an APP1 segment is not EXIF", soi + writersExif + xmp + body, "", basesExif,
       soi + segment(0xE1, basesExif) + xmp + body},
      {"no segments before the image data", soi + body, basesJfif, basesExif,
       soi + basesJfif + segment(0xE1, basesExif) + body},
      {"only the end marker after the start", soi + "\xFF\xD9"s, basesJfif, "", soi + basesJfif + "\xFF\xD9"s},
      {"the longest EXIF that fits one segment", soi + body, "", longest,
       soi + "\xFF\xE1\xFF\xFF"s + "Exif\0\0"s + longest + body},
      {"EXIF too long for one segment", soi + body, "", tooLong, std::nullopt},
      {"not a JPEG", "GIF89a\x01\x00\x01\x00"s, "", "", std::nullopt},
      {"shorter than a start marker and a segment", soi + "\xFF"s, "", "", std::nullopt},
      {"empty", "", basesJfif, basesExif, std::nullopt},
      {"a segment whose length field is below 2", soi + "\xFF\xE1\x00\x01"s + body, "", "", std::nullopt},
      {"a segment that runs past the end", soi + icc + "\xFF\xE2\x00\x40 cut"s, "", "", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(withBasesJpegHeader(c.encoded, c.jfif, c.exif), c.expected) << c.name;
}
