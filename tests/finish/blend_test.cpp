#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "pyramid/blend.h"
#include "pyramid/toolkit.h"
#include "support.h"

using namespace finish;
using testing_support::textured;

namespace {

struct Emitted {
  std::vector<int> order;
  std::vector<Plane> planes;
  Emit emit() {
    return [this](int c, const Plane& plane) {
      order.push_back(c);
      planes.push_back(plane);
    };
  }
};

Plane filledPlane(const Image& image, float value) { return Plane(image.n(), value); }

}  // namespace

TEST(PyramidBlend, EmitsEachChannelOnceInOrderAtFullSize) {
  const Image a = textured(67, 41, 8, 1), b = textured(67, 41, 8, 2);
  const Image* renders[] = {&a, &b};
  std::vector<Plane> weights = {filledPlane(a, 0.3f), filledPlane(a, 0.7f)};
  Emitted out;
  pyramidBlend(renders, weights, out.emit());
  EXPECT_EQ(out.order, (std::vector<int>{0, 1, 2}));
  for (const Plane& p : out.planes) EXPECT_EQ(p.size(), a.n());
  EXPECT_TRUE(weights.empty());
}

TEST(PyramidBlend, FullWeightOnOneRenderGivesThatRender) {
  // Several sizes: odd sizes exercise the edge rules of reduce and expand.
  for (auto [w, h] : {std::pair{64, 48}, {97, 33}, {40, 131}}) {
    const Image a = textured(w, h, 16, 3), b = textured(w, h, 8, 4);
    const Image* renders[] = {&a, &b};
    std::vector<Plane> weights = {filledPlane(a, 1.0f), filledPlane(a, 0.0f)};
    Emitted out;
    pyramidBlend(renders, weights, out.emit());
    ASSERT_GT(levels(w, h), 1);
    for (int c = 0; c < 3; ++c) {
      const Plane expected = a.channel(c);
      for (size_t p = 0; p < expected.size(); ++p)
        ASSERT_NEAR(out.planes[size_t(c)][p], expected[p], 2e-6f) << w << "x" << h << " c" << c << " p" << p;
    }
  }
}

TEST(PyramidBlend, IdenticalRendersComeBackWhateverTheWeights) {
  const Image a = textured(80, 72, 8, 5);
  const Image copy = a;
  const Image* renders[] = {&a, &copy, &a};
  std::vector<Plane> weights;
  for (int k = 0; k < 3; ++k) {
    Plane w(a.n());
    for (size_t p = 0; p < w.size(); ++p) w[p] = 0.01f + float((p * (k + 3)) % 17);
    weights.push_back(std::move(w));
  }
  Emitted out;
  pyramidBlend(renders, weights, out.emit());
  for (int c = 0; c < 3; ++c) {
    const Plane expected = a.channel(c);
    for (size_t p = 0; p < expected.size(); ++p) ASSERT_NEAR(out.planes[size_t(c)][p], expected[p], 2e-6f);
  }
}

TEST(PyramidBlend, ConstantRendersStayConstant) {
  const Image a = testing_support::render(70, 50, 8, [](int, int, int c) { return 0.2f * float(c + 1); });
  const Image b = testing_support::render(70, 50, 8, [](int, int, int c) { return 0.1f * float(c + 1); });
  const Image* renders[] = {&a, &b};
  std::vector<Plane> weights = {filledPlane(a, 1.0f), filledPlane(a, 3.0f)};
  Emitted out;
  pyramidBlend(renders, weights, out.emit());
  for (int c = 0; c < 3; ++c) {
    const float expected = 0.25f * a.channel(c)[0] + 0.75f * b.channel(c)[0];
    for (float v : out.planes[size_t(c)]) ASSERT_NEAR(v, expected, 2e-6f);
  }
}

TEST(PyramidBlend, BelowThirtyTwoPixelsItIsTheExactWeightedSum) {
  const int w = 20, h = 20;
  ASSERT_EQ(levels(w, h), 1);
  const Image a = textured(w, h, 8, 6), b = textured(w, h, 16, 7);
  std::vector<Plane> weights(2, Plane(a.n()));
  for (size_t p = 0; p < a.n(); ++p) {
    weights[0][p] = float(p % 7) * 0.3f;
    weights[1][p] = float(p % 5) * 0.2f;  // both 0 at p = 0, 35, 70, …
  }
  const std::vector<Plane> raw = weights;
  const Image* renders[] = {&a, &b};
  Emitted out;
  pyramidBlend(renders, weights, out.emit());
  for (int c = 0; c < 3; ++c) {
    const Plane ca = a.channel(c), cb = b.channel(c);
    for (size_t p = 0; p < a.n(); ++p) {
      const float s = raw[0][p] + raw[1][p];
      const float f = 1.0f / std::max(s, 1e-12f);
      const float wa = raw[0][p] * f, wb = raw[1][p] * f;
      float acc = wa * ca[p] + 0.0f;
      acc = wb * cb[p] + acc;
      ASSERT_EQ(out.planes[size_t(c)][p], acc) << "c" << c << " p" << p;
    }
  }
  // Where every weight is 0 the result is 0, not a division by zero.
  EXPECT_EQ(out.planes[0][0], 0.0f);
  EXPECT_EQ(out.planes[0][35], 0.0f);
}

// Two maps, three and four (each form of the normalisation), the maps after the
// first two all zero.
TEST(NormaliseWeights, SumsToOneAndScalesTinySumsByTheFloor) {
  for (const size_t n : {size_t(2), size_t(3), size_t(4)}) {
    std::vector<Plane> weights = {{1.0f, 0.0f, 2e-13f, 3.0f}, {3.0f, 0.0f, 2e-13f, 0.0f}};
    weights.resize(n, Plane(4, 0.0f));
    std::vector<float*> maps;
    for (Plane& w : weights) maps.push_back(w.data());
    EXPECT_TRUE(normalise(maps.data(), n, 4)) << n;  // two pixels whose weights do not sum to 1 afterwards
    EXPECT_EQ(weights[0][0], 0.25f) << n;
    EXPECT_EQ(weights[1][0], 0.75f) << n;
    EXPECT_EQ(weights[0][1], 0.0f) << n;  // nothing divided by zero
    EXPECT_EQ(weights[1][1], 0.0f) << n;
    EXPECT_NEAR(weights[0][2], 0.2f, 1e-6f) << n;  // the sum is under 1e-12: scaled by 1e12
    EXPECT_NEAR(weights[1][2], 0.2f, 1e-6f) << n;
    EXPECT_EQ(weights[0][3], 1.0f) << n;
    EXPECT_EQ(weights[1][3], 0.0f) << n;
    for (size_t k = 2; k < n; ++k) EXPECT_EQ(weights[k], Plane(4, 0.0f)) << n;

    // Weights that sum to more than 1e-12 everywhere do sum to 1 afterwards.
    std::vector<Plane> fine = {{0.5f, 1e-12f, 3.0f}, {0.5f, 1e-12f, 1.0f}};
    fine.resize(n, Plane(3, 1.0f));
    maps.clear();
    for (Plane& w : fine) maps.push_back(w.data());
    EXPECT_FALSE(normalise(maps.data(), n, 3)) << n;
  }
}
