#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "pyramid/reference.h"
#include "pyramid/toolkit.h"

using namespace finish;

namespace {

Plane ramp(int w, int h) {
  Plane p(size_t(w) * size_t(h));
  for (size_t i = 0; i < p.size(); ++i) p[i] = float(i) * 0.01f;
  return p;
}

}  // namespace

TEST(Levels, CountFollowsTheShorterSide) {
  struct Case {
    int w, h, levels;
  };
  const Case cases[] = {
      {6240, 4160, 9}, {7728, 5152, 9}, {3000, 2000, 7}, {1920, 1080, 7}, {1024, 768, 6}, {5000, 3000, 8}, {64, 64, 3},
      {32, 32, 2},     {31, 31, 1},     {31, 5000, 1},   {20, 20, 1},     {1, 1, 1},      {1, 9000, 1},    {63, 64, 2},
  };
  for (const Case& c : cases) EXPECT_EQ(levels(c.w, c.h), c.levels) << c.w << "x" << c.h;
}

TEST(Levels, SizesHalveRoundingUp) {
  const std::vector<Size> expected = {{6240, 4160}, {3120, 2080}, {1560, 1040}, {780, 520}, {390, 260},
                                      {195, 130},   {98, 65},     {49, 33},     {25, 17}};
  EXPECT_EQ(levelSizes(6240, 4160, levels(6240, 4160)), expected);
  const std::vector<Size> small = levelSizes(5000, 3000, levels(5000, 3000));
  ASSERT_EQ(small.size(), 8u);
  EXPECT_EQ(small.back(), (Size{40, 24}));
  EXPECT_EQ(halved({5, 3}), (Size{3, 2}));
  EXPECT_EQ(halved({4, 4}), (Size{2, 2}));
  EXPECT_EQ(halved({1, 1}), (Size{1, 1}));
}

TEST(Blur, ImpulseGivesTheKernelsOuterProduct) {
  // Products and sums of these taps are exact in single precision.
  const int w = 9, h = 9;
  Plane p(size_t(w * h), 0.0f);
  p[4 * w + 4] = 1.0f;
  const Plane b = blur(p, w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int dy = y - 4, dx = x - 4;
      const float expected =
          (std::abs(dx) <= 2 && std::abs(dy) <= 2) ? kernel[size_t(dy + 2)] * kernel[size_t(dx + 2)] : 0.0f;
      EXPECT_EQ(b[size_t(y * w + x)], expected) << x << "," << y;
    }
}

TEST(Blur, EdgesRepeatTheEdgeSample) {
  // An impulse in the corner: the samples beyond the edge repeat it, so the corner
  // gathers taps 0, 1 and 2 in each direction.
  const int w = 6, h = 5;
  Plane p(size_t(w * h), 0.0f);
  p[0] = 1.0f;
  const Plane b = blur(p, w, h);
  const float edge = kernel[0] + kernel[1] + kernel[2];  // 0.6875
  const float next = kernel[0] + kernel[1];              // x − 2 and x − 1 both land on 0
  EXPECT_EQ(b[0], edge * edge);
  EXPECT_EQ(b[1], edge * next);
  EXPECT_EQ(b[2], edge * kernel[0]);
  EXPECT_EQ(b[3], 0.0f);
  EXPECT_EQ(b[size_t(w)], next * edge);
  EXPECT_EQ(b[size_t(w + 1)], next * next);
}

TEST(Blur, NarrowPlanesUseTheClampedNeighbourhood) {
  // A 2×1 plane: every tap falls on one of the two samples.
  const Plane p = {1.0f, 0.0f};
  const Plane b = blur(p, 2, 1);
  EXPECT_FLOAT_EQ(b[0], kernel[0] + kernel[1] + kernel[2]);
  EXPECT_FLOAT_EQ(b[1], kernel[0] + kernel[1]);
  const Plane one = blur({0.25f}, 1, 1);
  EXPECT_EQ(one[0], 0.25f);
}

TEST(Pyramid, ConstantPlanesStayConstant) {
  struct Case {
    int w, h;
  };
  const Case cases[] = {{1, 1}, {2, 3}, {5, 3}, {7, 5}, {64, 33}, {33, 64}};
  for (const Case& c : cases) {
    const float value = 0.73f;
    const Plane p(size_t(c.w * c.h), value);
    for (float v : blur(p, c.w, c.h)) ASSERT_NEAR(v, value, 1e-6f) << c.w << "x" << c.h;
    const Reduced r = reduce(p, c.w, c.h);
    EXPECT_EQ((Size{r.w, r.h}), halved({c.w, c.h}));
    ASSERT_EQ(r.plane.size(), size_t(r.w * r.h));
    for (float v : r.plane) ASSERT_NEAR(v, value, 1e-6f);
    const Plane e = expand(r.plane, r.w, r.h, c.w, c.h);
    ASSERT_EQ(e.size(), p.size());
    for (float v : e) ASSERT_NEAR(v, value, 1e-6f);
  }
}

TEST(Reduce, KeepsTheSmoothedSamplesAtEvenRowsAndColumns) {
  const int w = 5, h = 3;
  const Plane p = ramp(w, h);
  const Plane s = blur(p, w, h);
  const Reduced r = reduce(p, w, h);
  ASSERT_EQ(r.w, 3);
  ASSERT_EQ(r.h, 2);
  const int rows[] = {0, 2}, cols[] = {0, 2, 4};
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) EXPECT_EQ(r.plane[size_t(y * 3 + x)], s[size_t(rows[y] * w + cols[x])]);
  const Reduced single = reduce({0.5f}, 1, 1);
  EXPECT_EQ(single.w, 1);
  EXPECT_EQ(single.h, 1);
  EXPECT_EQ(single.plane, Plane{0.5f});
}

TEST(Expand, RepeatsEachSampleIntoTwoByTwoBlocks) {
  // 3×2 to 5×3: output column 4 comes from source column 2, row 2 from row 1.
  const Plane p = {1, 2, 3, 4, 5, 6};
  Plane u(15);
  reference::repeat(p.data(), 3, 2, u.data(), 5, 3);
  const Plane expected = {1, 1, 2, 2, 3,  //
                          1, 1, 2, 2, 3,  //
                          4, 4, 5, 5, 6};
  EXPECT_EQ(u, expected);
  // A target more than twice the source repeats the last row and column.
  Plane wide(7 * 5);
  reference::repeat(p.data(), 3, 2, wide.data(), 7, 5);
  EXPECT_EQ(wide[6], 3.0f);
  EXPECT_EQ(wide[4 * 7 + 6], 6.0f);
  EXPECT_EQ(wide[4 * 7 + 0], 4.0f);
  // The expanded plane is the smoothing of the repeated one.
  EXPECT_EQ(expand(p, 3, 2, 5, 3), blur(expected, 5, 3));
}

TEST(Subsample, OddSizesKeepTheLastRowAndColumn) {
  const Plane p = ramp(5, 3);
  Plane out(6);
  reference::subsample(p.data(), 5, 3, out.data());
  EXPECT_EQ(out, (Plane{p[0], p[2], p[4], p[10], p[12], p[14]}));
}

TEST(GaussianPyramid, LevelZeroIsThePlaneItselfThenReductions) {
  const int w = 100, h = 70;  // 3 levels
  const Plane p = ramp(w, h);
  const std::vector<Plane> pyramid = reference::pyramid(p, w, h);
  ASSERT_EQ(pyramid.size(), 3u);
  EXPECT_EQ(pyramid[0], p);
  const Reduced one = reduce(p, w, h);
  EXPECT_EQ(pyramid[1], one.plane);
  EXPECT_EQ(pyramid[2].size(), size_t(25 * 18));
  EXPECT_EQ(pyramid[2], reduce(one.plane, one.w, one.h).plane);
  EXPECT_EQ(reference::pyramid(Plane(20 * 20, 1.0f), 20, 20).size(), 1u);
}

TEST(ReduceAndExpand, GiveExactlyTheValuesOfSmoothingTheWholePlane) {
  // reduce and expand smooth only what they need; every value must still be
  // bit for bit the one of the whole-plane smoothing.
  struct Case {
    int w, h, tw, th;
  };
  const Case cases[] = {{1, 1, 1, 1}, {1, 1, 2, 2},    {1, 5, 2, 9},    {2, 2, 3, 4}, {3, 7, 5, 13},
                        {5, 3, 9, 6}, {17, 9, 33, 17}, {16, 8, 32, 16}, {3, 2, 7, 5}, {40, 23, 80, 46}};
  for (const Case& c : cases) {
    Plane p(size_t(c.w * c.h));
    for (size_t i = 0; i < p.size(); ++i) p[i] = std::sin(float(i) * 1.7f) * 0.5f + 0.5f;

    const Plane smoothed = blur(p, c.w, c.h);
    const Size next = halved({c.w, c.h});
    Plane expected(size_t(next.w * next.h));
    reference::subsample(smoothed.data(), c.w, c.h, expected.data());
    EXPECT_EQ(reduce(p, c.w, c.h).plane, expected) << c.w << "x" << c.h;

    Plane repeated(size_t(c.tw * c.th));
    reference::repeat(p.data(), c.w, c.h, repeated.data(), c.tw, c.th);
    EXPECT_EQ(expand(p, c.w, c.h, c.tw, c.th), blur(repeated, c.tw, c.th))
        << c.w << "x" << c.h << " to " << c.tw << "x" << c.th;
  }
}
