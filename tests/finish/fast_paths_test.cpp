// The banded, multi-threaded operations against the plain single-threaded ones they
// replace: the same values on sizes that exercise every edge, whatever the number
// of threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/parallel.h"
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
const Shape shapes[] = {{1, 1},   {1, 37},    {37, 1},    {2, 3},     {5, 3},
                        {31, 33}, {33, 31},   {64, 40},   {257, 129}, {129, 257},
                        {613, 431}};

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
            << what << " at " << i << " on " << s.w << "×" << s.h << " with " << threads
            << " threads: " << fast[i] << " against " << plain[i];
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
            expectSame(expand(p, s.w, s.h, t.w, t.h), reference::expand(p, s.w, s.h, t.w, t.h), "expand", s,
                       GetParam());
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
        addDetail(Rows::of(g.data(), s.w, s.h), fastDown.data(), weight.data(), fast.data(), false);
        expectSame(fast, plain, "addDetail", s, GetParam());

        Plane fused = start, fusedDown(down.plane.size());
        reduceAndAddDetail(Rows::of(g.data(), s.w, s.h), fusedDown.data(), weight.data(), fused.data(), false);
        expectSame(fusedDown, down.plane, "reduceAndAddDetail (reduced level)", s, GetParam());
        expectSame(fused, plain, "reduceAndAddDetail", s, GetParam());

        Plane plainFirst(g.size(), 0.0f);
        reference::accumulate(plainFirst.data(), weight.data(), detail.data(), plainFirst.size());
        Plane fastFirst(g.size(), std::nanf(""));  // must not be read
        addDetail(Rows::of(g.data(), s.w, s.h), fastDown.data(), weight.data(), fastFirst.data(), true);
        expectSame(fastFirst, plainFirst, "addDetail (first render)", s, GetParam());

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
            expectSame(mertensWeight(image), reference::mertensWeight(image), "mertensWeight", s, GetParam());
            for (int c = 0; c < 3; ++c) {
                Plane row(size_t(s.w));
                image.channelRow(c, s.h - 1, row.data());
                const Plane whole = image.channel(c);
                EXPECT_EQ(0, std::memcmp(row.data(), whole.data() + size_t(s.h - 1) * size_t(s.w),
                                         sizeof(float) * size_t(s.w)));
            }
        }
}

TEST_P(FastPaths, BlendMatchesThePlainBlend) {
    for (const Shape s : shapes)
        for (const int bits : {8, 16}) {
            const Image a = textured(s.w, s.h, bits, 1), b = textured(s.w, s.h, bits, 2),
                        c = textured(s.w, s.h, 16, 3);
            const Image* renders[] = {&a, &b, &c};
            auto weightsOf = [&] {
                std::vector<Plane> w;
                for (const Image* r : renders) w.push_back(reference::mertensWeight(*r));
                w[1][0] = 0.0f;  // a pixel where one weight is zero
                return w;
            };
            std::vector<Plane> fastWeights = weightsOf(), plainWeights = weightsOf();
            std::vector<Plane> fast, plain;
            pyramidBlend(renders, fastWeights, [&](int, const Plane& p) { fast.push_back(p); });
            reference::pyramidBlend(renders, plainWeights, [&](int, const Plane& p) { plain.push_back(p); });
            ASSERT_EQ(fast.size(), 3u);
            ASSERT_EQ(plain.size(), 3u);
            EXPECT_TRUE(fastWeights.empty());
            for (int ch = 0; ch < 3; ++ch) expectSame(fast[size_t(ch)], plain[size_t(ch)], "blend", s, GetParam());
        }
}

INSTANTIATE_TEST_SUITE_P(Threads, FastPaths, ::testing::Values(1, 2, 3),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::to_string(info.param) + "Threads";
                         });
