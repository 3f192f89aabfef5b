#include <gtest/gtest.h>
#include <vips/vips.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>

#include "imaging/files.h"

#include <unistd.h>

using namespace finish;

namespace {

Image blank(int w, int h, int bits) {
  Image image;
  image.w = w;
  image.h = h;
  if (bits == 8) image.px = Samples8(size_t(4 * w * h), 0);
  else image.px = Samples16(size_t(3 * w * h), 0);
  return image;
}

}  // namespace

TEST(Output, StartsAtTheMaximumAndPutWritesOnlyItsComponent) {
  const Image like = blank(3, 2, 8);
  Output out(like);
  EXPECT_EQ(out.bits(), 8);
  EXPECT_TRUE(std::ranges::equal(out.samples<uint8_t>(), Samples8(24, 255)));
  out.put(1, Plane(6, 0.0f));
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(out.samples<uint8_t>()[4 * i + 0], 255);
    EXPECT_EQ(out.samples<uint8_t>()[4 * i + 1], 0);
    EXPECT_EQ(out.samples<uint8_t>()[4 * i + 3], 255);
  }
  Output deep(blank(2, 2, 16));
  EXPECT_EQ(deep.bits(), 16);
  EXPECT_TRUE(std::ranges::equal(deep.samples<uint16_t>(), Samples16(12, 65535)));  // RGB: no X at 16 bits
}

TEST(Output, PutRoundsHalvesAwayFromZeroClampsAndMapsNotANumberToTheMaximum) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float value;
    int v8, v16;
  };
  const Case cases[] = {
      {1.0f, 255, 65535}, {0.5f, 128, 32768},  {-0.1f, 0, 0},  {1.2f, 255, 65535},
      {nan, 255, 65535},  {0.0f, 0, 0},        {-0.0f, 0, 0},  {inf, 255, 65535},
      {-inf, 0, 0},       {1e30f, 255, 65535}, {-1e30f, 0, 0}, {0.998f, 254, 65404},
  };
  for (const Case& c : cases) {
    Output o8(blank(1, 1, 8));
    o8.put(0, {c.value});
    EXPECT_EQ(o8.samples<uint8_t>()[0], c.v8) << c.value;
    Output o16(blank(1, 1, 16));
    o16.put(2, {c.value});
    EXPECT_EQ(o16.samples<uint16_t>()[2], c.v16) << c.value;
  }
}

// Buffers move between the ordinary heap and the large-buffer memory as they grow
// and shrink; each block must go back the way it came (the sanitizer builds catch a
// mismatch), and the values must survive every move.
TEST(Buffers, KeepTheirValuesWhenTheyGrowPastTheLargeSizeAndShrinkBack) {
  const size_t large = largeBuffer / sizeof(float);
  Plane plane(8, 0.5f);
  for (size_t i = 8; i < large + 1000; ++i) plane.push_back(float(i));
  ASSERT_GE(plane.capacity(), large);
  EXPECT_EQ(plane[7], 0.5f);
  EXPECT_EQ(plane[large], float(large));
  plane.resize(100);
  plane.shrink_to_fit();
  EXPECT_LT(plane.capacity(), large);
  EXPECT_EQ(plane[99], 99.0f);
  Samples16 samples(3 * large, 7);  // a pixel buffer made large at once, filled
  EXPECT_TRUE(std::ranges::all_of(samples, [](uint16_t v) { return v == 7; }));
  Samples8 exact(largeBuffer - 1);  // one byte short of large: from the ordinary heap
  Samples8 copy = exact;
  EXPECT_EQ(copy.size(), largeBuffer - 1);
}

TEST(Image, ChannelThenPutGivesEveryValueBack) {
  Image eight = blank(256, 1, 8);
  for (int v = 0; v < 256; ++v) eight.samples<uint8_t>()[size_t(4 * v + 1)] = uint8_t(v);
  Output o8(eight);
  o8.put(1, eight.channel(1));
  for (int v = 0; v < 256; ++v) ASSERT_EQ(o8.samples<uint8_t>()[size_t(4 * v + 1)], v);

  Image deep = blank(256, 256, 16);
  for (int v = 0; v < 65536; ++v) deep.samples<uint16_t>()[size_t(3 * v + 2)] = uint16_t(v);
  Output o16(deep);
  o16.put(2, deep.channel(2));
  for (int v = 0; v < 65536; ++v) ASSERT_EQ(o16.samples<uint16_t>()[size_t(3 * v + 2)], v);
}

TEST(Image, ChannelScalesByTheDepthsMaximum) {
  Image eight = blank(2, 1, 8);
  eight.px = Samples8{255, 0, 51, 7, 0, 128, 255, 9};
  EXPECT_EQ(eight.channel(0), (Plane{1.0f, 0.0f}));
  EXPECT_EQ(eight.channel(1), (Plane{0.0f, 128.0f / 255.0f}));
  EXPECT_EQ(eight.channel(2), (Plane{51.0f / 255.0f, 1.0f}));
  Image deep = blank(1, 1, 16);
  deep.px = Samples16{65535, 32768, 1};
  EXPECT_EQ(deep.channel(0), Plane{1.0f});
  EXPECT_EQ(deep.channel(1), Plane{32768.0f / 65535.0f});
  EXPECT_EQ(deep.channel(2), Plane{1.0f / 65535.0f});
  EXPECT_EQ(deep.n(), 1u);
}

// JPEG renders are decoded with libjpeg straight into the buffer; the pixels must be
// those the image library's own reader gives, for every kind of JPEG a camera or
// editor writes.
TEST(Load, JpegPixelsAreTheImageLibrarysOwn) {
  ASSERT_TRUE(startImaging("image_test"));
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("finish-jpeg-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  // A textured 3-band image with sizes that are not multiples of the blocks.
  VipsImage* xy = nullptr;
  ASSERT_EQ(vips_xyz(&xy, 203, 117, nullptr), 0);
  VipsImage *sum = nullptr, *scaled = nullptr, *rgb = nullptr, *eight = nullptr;
  ASSERT_EQ(vips_bandjoin_const1(xy, &sum, 17.0, nullptr), 0);
  ASSERT_EQ(vips_linear1(sum, &scaled, 1.7, 9.0, nullptr), 0);
  ASSERT_EQ(vips_cast(scaled, &eight, VIPS_FORMAT_UCHAR, "shift", FALSE, nullptr), 0);
  ASSERT_EQ(vips_copy(eight, &rgb, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr), 0);
  struct Kind {
    const char* name;
    bool interlace;
    VipsForeignSubsample subsample;
    int quality;
  };
  const Kind kinds[] = {{"baseline 4:2:0", false, VIPS_FOREIGN_SUBSAMPLE_ON, 75},
                        {"baseline 4:4:4", false, VIPS_FOREIGN_SUBSAMPLE_OFF, 95},
                        {"progressive 4:2:0", true, VIPS_FOREIGN_SUBSAMPLE_ON, 60}};
  for (const Kind& kind : kinds) {
    const std::string path = (dir / "r.jpg").string();
    ASSERT_EQ(vips_jpegsave(rgb, path.c_str(), "Q", kind.quality, "interlace", kind.interlace, "subsample_mode",
                            kind.subsample, nullptr),
              0);
    std::string error;
    const std::optional<Loaded> loaded = load(path, error);
    ASSERT_TRUE(loaded) << kind.name << ": " << error;
    VipsImage* reference = vips_image_new_from_file(path.c_str(), nullptr);
    ASSERT_NE(reference, nullptr);
    size_t bytes = 0;
    auto* pixels = static_cast<uint8_t*>(vips_image_write_to_memory(reference, &bytes));
    ASSERT_EQ(bytes, size_t(203 * 117 * 3));
    const Image& image = loaded->image;
    ASSERT_EQ(image.bits(), 8);
    size_t differing = 0;
    for (size_t p = 0; p < image.n(); ++p)
      for (size_t c = 0; c < 3; ++c) differing += image.samples<uint8_t>()[4 * p + c] != pixels[3 * p + c];
    EXPECT_EQ(differing, 0u) << kind.name;
    g_free(pixels);
    g_object_unref(reference);
  }
  for (VipsImage* i : {xy, sum, scaled, eight, rgb}) g_object_unref(i);
  std::filesystem::remove_all(dir);
}
