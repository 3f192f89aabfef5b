#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "modes/modes.h"
#include "pyramid/weights.h"
#include "support.h"

using namespace finish;
using testing_support::render;
using testing_support::textured;

namespace {

// The largest difference between a component of the result and of the render.
int largestDifference(const Output& out, const Image& image) {
  int worst = 0;
  for (size_t i = 0; i < image.n(); ++i)
    for (size_t c = 0; c < 3; ++c) {
      worst =
          std::max(worst, std::abs(testing_support::component(image, i, c) - testing_support::component(out, i, c)));
    }
  return worst;
}

}  // namespace

TEST(Modes, StrengthTables) {
  EXPECT_EQ(highlightStart(1), 0.85f);
  EXPECT_EQ(highlightStart(2), 0.75f);
  EXPECT_EQ(highlightStart(3), 0.65f);
  EXPECT_EQ(fusionAmount(1), 0.5f);
  EXPECT_EQ(fusionAmount(2), 0.75f);
  EXPECT_EQ(fusionAmount(3), 1.0f);
}

TEST(Modes, FoundByTheirExactNamesWithTheRendersTheyBlend) {
  struct Case {
    const char* name;
    size_t renders;  // 0: no such mode
  };
  const Case cases[] = {
      {"keep-highlights", 2}, {"darken-sky", 2},      {"balance", 3},      {"Balance", 0}, {"balance ", 0},
      {"balanc", 0},          {"keep_highlights", 0}, {"darken-sky=1", 0}, {"", 0},
  };
  for (const Case& c : cases) {
    const Mode* mode = findMode(c.name);
    EXPECT_EQ(mode ? mode->renders : 0, c.renders) << c.name;
    if (mode) {
      EXPECT_EQ(mode->name, c.name);
    }
  }
}

TEST(KeepHighlights, BlackBaseComesBackAndWhiteBaseGivesDark) {
  const Image dark = textured(48, 40, 8, 1);
  const Image black = render(48, 40, 8, [](int, int, int) { return 0.0f; });
  Output out(black);
  keepHighlights(black, dark, 2, out);
  EXPECT_EQ(largestDifference(out, black), 0);

  const Image white = render(48, 40, 16, [](int, int, int) { return 1.0f; });
  Output fromWhite(white);
  keepHighlights(white, dark, 3, fromWhite);
  // DARK's 8-bit values, written at BASE's 16-bit depth.
  Output expected(white);
  for (int c = 0; c < 3; ++c) expected.put(c, dark.channel(c));
  EXPECT_TRUE(std::ranges::equal(fromWhite.samples<uint16_t>(), expected.samples<uint16_t>()));
}

TEST(KeepHighlights, RampStartsLowerWithMoreStrength) {
  // A pixel of luminance 0.865 sits halfway along strength 2's ramp.
  EXPECT_NEAR(1.0f - smoothstep(highlightStart(2), 0.98f, 0.865f), 0.5f, 1e-5f);
  EXPECT_EQ(1.0f - smoothstep(highlightStart(1), 0.98f, 0.8f), 1.0f);
  EXPECT_LT(1.0f - smoothstep(highlightStart(3), 0.98f, 0.8f), 1.0f);
}

TEST(SkyMask, RowsFollowTheHorizon) {
  const int h = 201;
  const Plane mask = testing_support::skyMask(3, h, 0.45f);
  auto row = [&](int y) { return mask[size_t(3 * y)]; };
  EXPECT_EQ(row(0), 1.0f);
  EXPECT_NEAR(row(60), 1.0f, 1e-6f);  // t = 0.3
  EXPECT_NEAR(row(85), 0.5f, 1e-5f);  // t = 0.425
  EXPECT_EQ(row(111), 0.0f);          // t = 0.555
  EXPECT_EQ(row(200), 0.0f);
  for (int y = 0; y < h; ++y) EXPECT_EQ(mask[size_t(3 * y + 2)], row(y));
}

TEST(SkyMask, SkyIsClampedAndNotANumberMeansTheLowestHorizon) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float sky;
    float top;
  };
  const Case cases[] = {{0.0f, 0.648f}, {-5.0f, 0.648f}, {2.0f, 1.0f}, {nan, 1.0f}};
  for (const Case& c : cases) EXPECT_NEAR(testing_support::skyMask(1, 101, c.sky)[0], c.top, 1e-5f) << c.sky;
  // s = 0.95: the ramp runs from 0.8 to 1.05, so the bottom row still has some DARK.
  EXPECT_GT(testing_support::skyMask(1, 101, 2.0f)[100], 0.0f);
  EXPECT_EQ(testing_support::skyMask(1, 101, nan)[100], testing_support::skyMask(1, 101, 0.95f)[100]);
  // One row: t = 0/0 is not a number, so the mask is 0.
  EXPECT_EQ(testing_support::skyMask(5, 1, 0.45f), Plane(5, 0.0f));
}

TEST(DarkenSky, OneRowRenderGivesBase) {
  const Image base = textured(40, 1, 8, 2), dark = textured(40, 1, 8, 3);
  Output out(base);
  darkenSky(base, dark, 0.45f, out);
  EXPECT_EQ(largestDifference(out, base), 0);
}

TEST(DarkenSky, TopRowsComeFromDarkBottomRowsFromBase) {
  // Flat renders, so the blend's smoothing cannot carry one into the other far
  // from the ramp.
  const Image base = render(64, 100, 8, [](int, int, int) { return 0.8f; });
  const Image dark = render(64, 100, 8, [](int, int, int) { return 0.2f; });
  Output out(base);
  darkenSky(base, dark, 0.45f, out);
  EXPECT_EQ(out.samples<uint8_t>()[0], dark.samples<uint8_t>()[0]);
  EXPECT_EQ(out.samples<uint8_t>()[4 * 64 * 99], base.samples<uint8_t>()[0]);
}

TEST(Balance, IdenticalRendersGiveBaseAtEveryStrength) {
  const Image base = textured(72, 56, 16, 4);
  for (int strength = 1; strength <= 3; ++strength) {
    Output out(base);
    balance(base, base, base, strength, out);
    EXPECT_LE(largestDifference(out, base), 1) << strength;
  }
}

TEST(Balance, StrengthMixesTheFusionWithBase) {
  const Image base = textured(64, 64, 16, 5), dark = textured(64, 64, 16, 6), bright = textured(64, 64, 16, 7);
  Output full(base), half(base);
  balance(base, dark, bright, 3, full);
  balance(base, dark, bright, 1, half);
  // Strength 1 is halfway between BASE and the full fusion.
  int worst = 0;
  // 16-bit buffers hold RGB: every sample is a colour component.
  for (size_t i = 0; i < base.samples<uint16_t>().size(); ++i) {
    const double mid = (double(base.samples<uint16_t>()[i]) + double(full.samples<uint16_t>()[i])) / 2.0;
    worst = std::max(worst, int(std::ceil(std::abs(mid - double(half.samples<uint16_t>()[i])))));
  }
  EXPECT_LE(worst, 1);
  EXPECT_GT(largestDifference(full, base), 1000);
}

// The program writes the result over BASE's own buffer: every mode must read a
// channel of BASE only before writing that channel, or the result would change.
TEST(Modes, ResultOverBasesBufferEqualsAResultOfItsOwn) {
  for (const int bits : {8, 16}) {
    const Image base = textured(97, 61, bits, 1), dark = textured(97, 61, bits, 2), bright = textured(97, 61, bits, 3);
    auto both = [&](const std::function<void(const Image&, Output&)>& mode, const char* name) {
      Output separate(base);
      mode(base, separate);
      Image overwritten = base;
      Output over = Output::over(overwritten);
      mode(overwritten, over);
      EXPECT_TRUE(testing_support::sameComponents(over, separate)) << name << " at " << bits << " bits";
    };
    both([&](const Image& b, Output& out) { balance(b, dark, bright, 2, out); }, "balance");
    both([&](const Image& b, Output& out) { keepHighlights(b, dark, 2, out); }, "keep-highlights");
    both([&](const Image& b, Output& out) { darkenSky(b, dark, 0.45f, out); }, "darken-sky");
  }
}
