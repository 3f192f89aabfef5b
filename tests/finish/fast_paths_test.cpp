// The banded, multi-threaded operations against the plain single-threaded ones they
// replace: the same values on sizes that exercise every edge, whatever the number
// of threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <span>
#include <variant>
#include <vector>

#include "imaging/parallel.h"
#include "modes/modes.h"
#include "pyramid/blend.h"
#include "pyramid/reference.h"
#include "pyramid/toolkit.h"
#include "pyramid/weights.h"
#include "support.h"

using namespace finish;
using testing_support::textured;

namespace {

struct Shape {
  int w, h;
};

// 1×1, a single row, a single column, odd sizes below and above the size where a
// pyramid gets a second level, sizes that make several pyramid levels, and one
// large enough (over 2^18 pixels) to be cut into bands over the threads.
const Shape shapes[] = {{1, 1},   {1, 37},  {37, 1},    {2, 3},     {5, 3},    {31, 33},
                        {33, 31}, {64, 40}, {257, 129}, {129, 257}, {613, 431}};

Plane texturedPlane(int w, int h, int seed) {
  Plane p(size_t(w) * size_t(h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      p[size_t(y) * size_t(w) + size_t(x)] =
          0.5f + 0.45f * std::sin(0.31f * float(x) + 0.17f * float(y * seed)) * std::cos(0.07f * float(x * y));
  return p;
}

// Bit-for-bit comparison: the fast forms do the same operations in the same order.
// (+0 and −0 count as equal.)
void expectSame(const Plane& fast, const Plane& plain, const char* what, Shape s, int threads) {
  ASSERT_EQ(fast.size(), plain.size()) << what;
  for (size_t i = 0; i < fast.size(); ++i)
    ASSERT_TRUE(fast[i] == plain[i] || (std::isnan(fast[i]) && std::isnan(plain[i])))
        << what << " at " << i << " on " << s.w << "×" << s.h << " with " << threads << " threads: " << fast[i]
        << " against " << plain[i];
}

// The weight maps take e^x from a vectorised function that is within one unit in the
// last place of the library's: a weight may differ from the plain one by a few units
// in the last place, never more.
void expectClose(const Plane& fast, const Plane& plain, const char* what, Shape s, int threads) {
  ASSERT_EQ(fast.size(), plain.size()) << what;
  for (size_t i = 0; i < fast.size(); ++i)
    ASSERT_LE(std::fabs(fast[i] - plain[i]), 4.0f * std::numeric_limits<float>::epsilon() * std::fabs(plain[i]))
        << what << " at " << i << " on " << s.w << "×" << s.h << " with " << threads << " threads: " << fast[i]
        << " against " << plain[i];
}

// The blend with the last render's weights worked out as one minus the others':
// the same values but for rounding, far below what a result's depth can show.
void expectNear(const Plane& fast, const Plane& plain, float tolerance, const char* what, Shape s, int threads) {
  ASSERT_EQ(fast.size(), plain.size()) << what;
  float largest = 0.0f;
  for (size_t i = 0; i < fast.size(); ++i) largest = std::max(largest, std::fabs(fast[i] - plain[i]));
  EXPECT_LE(largest, tolerance) << what << " on " << s.w << "×" << s.h << " with " << threads << " threads";
}

// The most two results may differ by: one step of the output's depth.
void expectWithinOneStep(const Output& fast, const Output& plain, const char* what, Shape s, int threads) {
  ASSERT_EQ(fast.bits(), plain.bits());
  size_t count = 0, differing = 0;
  std::visit(
      [&]<typename T>(std::span<T> fastSamples) {
        const std::span<T> plainSamples = plain.samples<T>();
        count = fastSamples.size();
        for (size_t i = 0; i < count; ++i) {
          const int a = fastSamples[i], b = plainSamples[i];
          ASSERT_LE(std::abs(a - b), 1) << what << " at component " << i << " on " << s.w << "×" << s.h << " with "
                                        << threads << " threads";
          differing += a != b;
        }
      },
      fast.px);
  if (::testing::Test::HasFatalFailure()) return;
  // Rounding differences (a few units in the last place of values near 1) flip a
  // component only where its value lies right at a rounding boundary: rare at 8
  // bits; at 16 bits a float's last place near 1 is already 1/250 of a step.
  const size_t rare = fast.bits() == 8 ? count / 1000 + 1 : count / 20 + 1;
  EXPECT_LE(differing, rare) << what << " on " << s.w << "×" << s.h << " at " << fast.bits() << " bits";
}

// The fast and the plain blend of `renders`, each given its own copy of the same
// weights; the channel planes in emitted order.
struct BothBlends {
  std::vector<Plane> fast, plain;
  bool fastWeightsEmptied;
};

BothBlends blendBothWays(std::span<const Image* const> renders, const std::vector<Plane>& weights) {
  std::vector<Plane> fastWeights = weights, plainWeights = weights;
  BothBlends both;
  pyramidBlend(renders, fastWeights, [&](int, const Plane& p) { both.fast.push_back(p); });
  reference::pyramidBlend(renders, plainWeights, [&](int, const Plane& p) { both.plain.push_back(p); });
  both.fastWeightsEmptied = fastWeights.empty();
  return both;
}

// Exposure-fusion weights of the renders.
std::vector<Plane> mertensWeights(std::span<const Image* const> renders) {
  std::vector<Plane> w;
  for (const Image* r : renders) w.push_back(reference::mertensWeight(*r));
  return w;
}

class FastPaths : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { setThreadCount(GetParam()); }
  void TearDown() override { setThreadCount(0); }
};

}  // namespace

TEST_P(FastPaths, BlurReduceExpandMatchThePlainPasses) {
  for (const Shape s : shapes) {
    const Plane p = texturedPlane(s.w, s.h, 3);
    expectSame(blur(p, s.w, s.h), reference::blur(p, s.w, s.h), "blur", s, GetParam());

    const Reduced fast = reduce(p, s.w, s.h), plain = reference::reduce(p, s.w, s.h);
    EXPECT_EQ(fast.w, plain.w);
    EXPECT_EQ(fast.h, plain.h);
    expectSame(fast.plane, plain.plane, "reduce", s, GetParam());

    // Expanding to twice the size, and to the odd sizes a pyramid asks for.
    for (const Shape t : {Shape{2 * s.w, 2 * s.h}, Shape{2 * s.w - 1, 2 * s.h - 1}, Shape{2 * s.w + 3, 2 * s.h + 1}}) {
      if (t.w < 1 || t.h < 1) continue;
      expectSame(expand(p, s.w, s.h, t.w, t.h), reference::expand(p, s.w, s.h, t.w, t.h), "expand", s, GetParam());
    }
  }
}

TEST_P(FastPaths, FusedDetailAndCollapseStepsMatchTheirPlainSequence) {
  for (const Shape s : shapes) {
    const Plane g = texturedPlane(s.w, s.h, 5), weight = texturedPlane(s.w, s.h, 7);
    const Plane start = texturedPlane(s.w, s.h, 11);
    const Reduced down = reference::reduce(g, s.w, s.h);

    // acc = weight·(g − expand(reduce(g))) + acc, and the first render's form.
    Plane plain = start;
    Plane detail = reference::expand(down.plane, down.w, down.h, s.w, s.h);
    for (size_t p = 0; p < detail.size(); ++p) detail[p] = g[p] - detail[p];
    reference::accumulate(plain.data(), weight.data(), detail.data(), plain.size());
    Plane fast = start;
    Plane fastDown(down.plane.size());
    reduceInto(Rows::of(g.data(), s.w, s.h), fastDown.data());
    expectSame(fastDown, down.plane, "reduceInto", s, GetParam());
    // The detail alone, without writing the reduced level.
    reduceAndAddDetail(Rows::of(g.data(), s.w, s.h), nullptr, weight.data(), fast.data(), Accumulator::running);
    expectSame(fast, plain, "reduceAndAddDetail (detail only)", s, GetParam());

    Plane fused = start, fusedDown(down.plane.size());
    reduceAndAddDetail(Rows::of(g.data(), s.w, s.h), fusedDown.data(), weight.data(), fused.data(),
                       Accumulator::running);
    expectSame(fusedDown, down.plane, "reduceAndAddDetail (reduced level)", s, GetParam());
    expectSame(fused, plain, "reduceAndAddDetail", s, GetParam());

    Plane plainFirst(g.size(), 0.0f);
    reference::accumulate(plainFirst.data(), weight.data(), detail.data(), plainFirst.size());
    Plane fastFirst(g.size(), std::nanf(""));  // must not be read
    reduceAndAddDetail(Rows::of(g.data(), s.w, s.h), nullptr, weight.data(), fastFirst.data(), Accumulator::fresh);
    expectSame(fastFirst, plainFirst, "reduceAndAddDetail (first render)", s, GetParam());

    // acc = expand(coarse) + acc.
    Plane collapsed = reference::expand(down.plane, down.w, down.h, s.w, s.h);
    for (size_t p = 0; p < collapsed.size(); ++p) collapsed[p] = collapsed[p] + start[p];
    Plane fastCollapsed = start;
    addExpanded(down.plane.data(), down.w, down.h, fastCollapsed.data(), s.w, s.h);
    expectSame(fastCollapsed, collapsed, "addExpanded", s, GetParam());
  }
}

TEST_P(FastPaths, WeightMapsMatchThePlainOnes) {
  for (const Shape s : shapes)
    for (const int bits : {8, 16}) {
      const Image image = textured(s.w, s.h, bits, 4);
      expectSame(luma(image), reference::luma(image), "luma", s, GetParam());
      expectClose(mertensWeight(image), reference::mertensWeight(image), "mertensWeight", s, GetParam());
      for (int c = 0; c < 3; ++c) {
        Plane row(size_t(s.w));
        image.channelRow(c, s.h - 1, row.data());
        const Plane whole = image.channel(c);
        EXPECT_EQ(0,
                  std::memcmp(row.data(), whole.data() + size_t(s.h - 1) * size_t(s.w), sizeof(float) * size_t(s.w)));
      }
    }
}

// Three renders (the last one's weights worked out as one minus the others') and two
// (one walk down the pyramid of their difference).
TEST_P(FastPaths, BlendMatchesThePlainBlend) {
  for (const Shape s : shapes)
    for (const int bits : {8, 16})
      for (const size_t count : {size_t(3), size_t(2)}) {
        const Image a = textured(s.w, s.h, bits, 1), b = textured(s.w, s.h, bits, 2), c = textured(s.w, s.h, 16, 3);
        const Image* all[] = {&a, &b, &c};
        const std::span<const Image* const> renders(all, count);
        std::vector<Plane> weights = mertensWeights(renders);
        weights[1][0] = 0.0f;  // a pixel where one weight is zero
        const BothBlends both = blendBothWays(renders, weights);
        ASSERT_EQ(both.fast.size(), 3u);
        ASSERT_EQ(both.plain.size(), 3u);
        EXPECT_TRUE(both.fastWeightsEmptied);
        for (int ch = 0; ch < 3; ++ch)
          expectNear(both.fast[size_t(ch)], both.plain[size_t(ch)], 1e-6f,
                     count == 3 ? "blend of three" : "blend of two", s, GetParam());
      }
}

// Where some pixel's weights are all zero they cannot be scaled to sum to 1; every
// render's weights are then stored and the blend is the plain one bit for bit.
TEST_P(FastPaths, BlendWithAPixelWithoutWeightIsThePlainBlendExactly) {
  for (const Shape s : {Shape{1, 1}, Shape{31, 33}, Shape{613, 431}}) {
    const Image a = textured(s.w, s.h, 8, 1), b = textured(s.w, s.h, 16, 2), c = textured(s.w, s.h, 8, 3);
    const Image* renders[] = {&a, &b, &c};
    std::vector<Plane> weights = mertensWeights(renders);
    for (Plane& p : weights) p[p.size() / 2] = 0.0f;
    const BothBlends both = blendBothWays(renders, weights);
    ASSERT_EQ(both.fast.size(), 3u);
    for (int ch = 0; ch < 3; ++ch) expectSame(both.fast[size_t(ch)], both.plain[size_t(ch)], "blend", s, GetParam());
  }
}

// Whole recipes against their plain sequence: weights, blend, mixing and rounding
// into the result, within one step of the result's depth.
TEST_P(FastPaths, ModesMatchThePlainRecipesWithinOneStep) {
  for (const Shape s : shapes)
    for (const int bits : {8, 16}) {
      const Image base = textured(s.w, s.h, bits, 1), dark = textured(s.w, s.h, bits, 2),
                  bright = textured(s.w, s.h, bits, 3);
      for (const int strength : {1, 3}) {
        Output fast(base), plain(base);
        balance(base, dark, bright, strength, fast);
        const Image* renders[] = {&base, &dark, &bright};
        std::vector<Plane> weights;
        for (const Image* r : renders) weights.push_back(reference::mertensWeight(*r));
        const float a = fusionAmount(strength);
        reference::pyramidBlend(renders, weights, [&](int c, const Plane& fused) {
          Plane mixed = base.channel(c);
          for (size_t p = 0; p < mixed.size(); ++p) mixed[p] = mixed[p] + a * (fused[p] - mixed[p]);
          plain.put(c, mixed);
        });
        expectWithinOneStep(fast, plain, "balance", s, GetParam());
      }

      Output fast(base), plain(base);
      keepHighlights(base, dark, 2, fast);
      const Image* renders[] = {&base, &dark};
      std::vector<Plane> weights;
      weights.push_back(reference::luma(base));
      weights.push_back(Plane(base.n()));
      for (size_t p = 0; p < base.n(); ++p) {
        weights[0][p] = 1.0f - smoothstep(highlightStart(2), 0.98f, weights[0][p]);
        weights[1][p] = 1.0f - weights[0][p];
      }
      reference::pyramidBlend(renders, weights, [&](int c, const Plane& fused) { plain.put(c, fused); });
      expectWithinOneStep(fast, plain, "keep-highlights", s, GetParam());

      Output fastSky(base), plainSky(base);
      darkenSky(base, dark, 0.45f, fastSky);
      std::vector<Plane> skyWeights(2);
      skyWeights[1] = testing_support::skyMask(s.w, s.h, 0.45f);
      skyWeights[0] = Plane(base.n());
      for (size_t p = 0; p < base.n(); ++p) skyWeights[0][p] = 1.0f - skyWeights[1][p];
      reference::pyramidBlend(renders, skyWeights, [&](int c, const Plane& fused) { plainSky.put(c, fused); });
      expectWithinOneStep(fastSky, plainSky, "darken-sky", s, GetParam());
    }
}

// The blend's sweeps go down the rows in stripes (one or more per thread) and bands
// of rows; the result is handed on row by row and may lie over BASE. On sizes that
// cut unevenly into stripes and bands (a last stripe shorter than the rows held
// back at its edges, bands of a wide row, one-level and two-level pyramids cut
// into stripes), the result written over BASE equals one of its own byte for byte,
// and stays within one step of the plain recipe.
TEST_P(FastPaths, StripedSweepsOverBaseMatchThePlainRecipes) {
  const Shape stripes[] = {{641, 457}, {1031, 263}, {4099, 67}, {9000, 31}, {8500, 33}};
  for (const Shape s : stripes)
    for (const int bits : {8, 16}) {
      const Image base = textured(s.w, s.h, bits, 1), dark = textured(s.w, s.h, bits, 2),
                  bright = textured(s.w, s.h, bits, 3);
      const Image* renders[] = {&base, &dark, &bright};
      auto check = [&](const char* name, size_t count, const std::function<void(const Image&, Output&)>& mode,
                       const std::vector<Plane>& weights, float amount) {
        Output separate(base);
        mode(base, separate);
        Image overwritten = base;
        Output over = Output::over(overwritten);
        mode(overwritten, over);
        EXPECT_TRUE(testing_support::sameComponents(over, separate))
            << name << " over BASE on " << s.w << "×" << s.h << " at " << bits << " bits with " << GetParam()
            << " threads";
        Output plain(base);
        std::vector<Plane> plainWeights = weights;
        reference::pyramidBlend(std::span<const Image* const>(renders, count), plainWeights,
                                [&](int c, const Plane& fused) {
                                  Plane mixed = base.channel(c);
                                  for (size_t p = 0; p < mixed.size(); ++p)
                                    mixed[p] = mixed[p] + amount * (fused[p] - mixed[p]);
                                  plain.put(c, mixed);
                                });
        expectWithinOneStep(separate, plain, name, s, GetParam());
      };
      std::vector<Plane> fusion;
      for (const Image* r : renders) fusion.push_back(reference::mertensWeight(*r));
      check(
          "balance", 3, [&](const Image& b, Output& out) { balance(b, dark, bright, 3, out); }, fusion, 1.0f);
      std::vector<Plane> sky(2);
      sky[1] = testing_support::skyMask(s.w, s.h, 0.45f);
      sky[0] = Plane(base.n());
      for (size_t p = 0; p < base.n(); ++p) sky[0][p] = 1.0f - sky[1][p];
      check(
          "darken-sky", 2, [&](const Image& b, Output& out) { darkenSky(b, dark, 0.45f, out); }, sky, 1.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, FastPaths, ::testing::Values(1, 2, 3), [](const ::testing::TestParamInfo<int>& info) {
  return std::to_string(info.param) + "Threads";
});
