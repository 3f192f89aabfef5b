#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "pyramid/exp.h"
#include "pyramid/weights.h"

using namespace finish;

namespace {

// An 8-bit render filled with one colour.
Image filled(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  Image image;
  image.w = w;
  image.h = h;
  Samples8& samples = image.px.emplace<Samples8>(size_t(4 * w * h));
  for (size_t i = 0; i < image.n(); ++i) {
    samples[4 * i] = r;
    samples[4 * i + 1] = g;
    samples[4 * i + 2] = b;
  }
  return image;
}

}  // namespace

TEST(Luma, Rec709WeightsOfTheStoredValues) {
  struct Case {
    uint8_t r, g, b;
    float y;
  };
  const Case cases[] = {
      {255, 255, 255, 1.0f}, {255, 0, 0, 0.2126f}, {0, 255, 0, 0.7152f}, {0, 0, 255, 0.0722f}, {0, 0, 0, 0.0f}};
  for (const Case& c : cases) {
    const Plane y = luma(filled(2, 2, c.r, c.g, c.b));
    ASSERT_EQ(y.size(), 4u);
    EXPECT_NEAR(y[3], c.y, 1e-6f);
  }
}

TEST(Smoothstep, RampAndClamp) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float e0, e1, x, expected;
  };
  const Case cases[] = {
      {0.75f, 0.98f, 0.75f, 0.0f},   {0.75f, 0.98f, 0.98f, 1.0f},  {0.75f, 0.98f, 1.5f, 1.0f},
      {0.75f, 0.98f, 0.1f, 0.0f},    {0.75f, 0.98f, nan, 1.0f},    {0.75f, 0.98f, 0.865f, 0.5f},
      {0.0f, 1.0f, 0.25f, 0.15625f}, {-0.1f, 0.15f, 0.0f, 0.352f}, {0.5f, 0.5f, 0.5f, 1.0f},
  };
  for (const Case& c : cases) EXPECT_NEAR(smoothstep(c.e0, c.e1, c.x), c.expected, 1e-5f) << c.x;
}

TEST(MertensWeight, FlatOrSinglePixelRendersGetTheFloor) {
  for (const Image& image : {filled(1, 1, 255, 128, 0), filled(7, 5, 200, 30, 90), filled(4, 4, 0, 0, 0)}) {
    const Plane w = mertensWeight(image);
    ASSERT_EQ(w.size(), image.n());
    for (float v : w) EXPECT_EQ(v, 1e-12f);
  }
}

TEST(MertensWeight, ContrastSaturationAndExposureMultiply) {
  // A saturated pixel (1, 0.5, 0) in the middle of black: grey 0.5 against four
  // neighbours of 0 gives a contrast of 2.
  Image image = filled(3, 3, 0, 0, 0);
  Samples16& samples = image.px.emplace<Samples16>(27, 0);  // RGB at 16 bits
  samples[3 * 4 + 0] = 65535;
  samples[3 * 4 + 1] = 32768;
  const float g = 32768.0f / 65535.0f;
  const Plane w = mertensWeight(image);
  const float mu = (1.0f + g) / 3.0f;
  const float s = std::sqrt(((1 - mu) * (1 - mu) + (g - mu) * (g - mu) + mu * mu) / 3.0f);
  const float e = std::exp(((0.25f + (g - 0.5f) * (g - 0.5f)) + 0.25f) / -0.08f);
  const float c = 4.0f * mu;
  EXPECT_NEAR(w[4], e * (c * s) + 1e-12f, 1e-9f);
  EXPECT_NEAR(s, std::sqrt(0.5f / 3.0f), 1e-4f);
  EXPECT_NEAR(e, 0.00193f, 1e-5f);
  // The neighbours are black (no saturation): they keep the floor.
  EXPECT_EQ(w[1], 1e-12f);
  EXPECT_EQ(w[0], 1e-12f);
}

TEST(Exp, WithinOneUnitInTheLastPlaceOfTheExactValue) {
  // The exposure term takes arguments in −9.375…0; every 101st float there, and a
  // sweep of the whole range where e^x is a normal, subnormal or overflowing float.
  std::vector<float> xs;
  for (float x = -9.375f; x <= 0.0f;) {
    xs.push_back(x);
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits = bits > 101 ? bits - 101 : 0x80000000u;  // towards −0
    std::memcpy(&x, &bits, sizeof bits);
    if (bits == 0x80000000u) break;
  }
  for (float x = -110.0f; x < 90.0f; x += 0.0137f) xs.push_back(x);
  std::vector<float> out(xs.size());
  for (size_t i = 0; i < xs.size(); ++i) out[i] = expNear(xs[i]);
  size_t inexact = 0;
  for (size_t i = 0; i < xs.size(); ++i) {
    const float exact = float(std::exp(double(xs[i])));
    if (out[i] == exact) continue;
    ++inexact;
    ASSERT_EQ(std::nextafter(out[i], exact), exact) << "e^" << xs[i] << ": " << out[i] << " against " << exact;
  }
  EXPECT_LE(inexact, xs.size() / 100000) << "of " << xs.size();

  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const float edges[] = {0.0f, -0.0f, -inf, inf, nan, -104.5f, 89.0f};
  float results[7];
  for (size_t i = 0; i < 7; ++i) results[i] = expNear(edges[i]);
  EXPECT_EQ(results[0], 1.0f);
  EXPECT_EQ(results[1], 1.0f);
  EXPECT_EQ(results[2], 0.0f);
  EXPECT_EQ(results[3], inf);
  EXPECT_TRUE(std::isnan(results[4]));
  EXPECT_EQ(results[5], 0.0f);
  EXPECT_EQ(results[6], inf);
}
