#include "pyramid/blend.h"

#include <algorithm>
#include <atomic>

#include "imaging/parallel.h"
#include "pyramid/toolkit.h"

namespace finish {

namespace {

// The normalisation of pixels [begin, end), the sum taken in map order: two maps,
// three maps, and any number.
// Each returns whether the sum of some pixel's weights was not above 1e-12 (or not a
// number), so that its weights do not sum to 1 after the scaling.
FINISH_VECTOR_CLONES bool normaliseTwo(float* __restrict a, float* __restrict b, size_t begin, size_t end) {
  int small = 0;
  for (size_t p = begin; p < end; ++p) {
    const float s = (0.0f + a[p]) + b[p];
    small |= !(s > 1e-12f);
    const float f = 1.0f / (s < 1e-12f ? 1e-12f : s);  // std::max(s, 1e-12f)
    a[p] = a[p] * f;
    b[p] = b[p] * f;
  }
  return small != 0;
}

FINISH_VECTOR_CLONES bool normaliseThree(float* __restrict a, float* __restrict b, float* __restrict c, size_t begin,
                                         size_t end) {
  int small = 0;
  for (size_t p = begin; p < end; ++p) {
    const float s = ((0.0f + a[p]) + b[p]) + c[p];
    small |= !(s > 1e-12f);
    const float f = 1.0f / (s < 1e-12f ? 1e-12f : s);  // std::max(s, 1e-12f)
    a[p] = a[p] * f;
    b[p] = b[p] * f;
    c[p] = c[p] * f;
  }
  return small != 0;
}

bool normaliseRangeAny(float* const* maps, size_t n, size_t begin, size_t end) {
  bool small = false;
  for (size_t p = begin; p < end; ++p) {
    float s = 0.0f;
    for (size_t k = 0; k < n; ++k) s += maps[k][p];
    small |= !(s > 1e-12f);
    const float f = 1.0f / std::max(s, 1e-12f);
    for (size_t k = 0; k < n; ++k) maps[k][p] = maps[k][p] * f;
  }
  return small;
}

// Normalises the weights and tells whether those of every pixel now sum to 1.
bool normaliseToOne(std::vector<Plane>& weights) {
  if (weights.empty()) return false;
  const size_t count = weights[0].size();
  std::vector<float*> maps;
  for (Plane& w : weights) maps.push_back(w.data());
  const size_t n = maps.size();
  std::atomic<bool> small{false};
  parallelFor(count, size_t(1) << 16, [&](size_t begin, size_t end) {
    bool s;
    if (n == 2) s = normaliseTwo(maps[0], maps[1], begin, end);
    else if (n == 3) s = normaliseThree(maps[0], maps[1], maps[2], begin, end);
    else s = normaliseRangeAny(maps.data(), n, begin, end);
    if (s) small = true;
  });
  return !small;
}

}  // namespace

void normaliseWeights(std::vector<Plane>& weights) { normaliseToOne(weights); }

void accumulate(float* acc, const float* weight, const float* detail, size_t count) {
  for (size_t p = 0; p < count; ++p) acc[p] = weight[p] * detail[p] + acc[p];
}

namespace {

size_t area(Size s) { return size_t(s.w) * size_t(s.h); }

}  // namespace

// Per channel, each render walks down its Gaussian levels: one pass reduces the
// current level, a second forms the detail row by row (expanding the reduced
// level on the fly) and adds it into the accumulator at once, so neither the
// expanded plane nor the detail plane is ever stored. Level 0 is read straight from
// the render's RGBX buffer. The collapse adds each expanded level into the
// accumulator level above it, in place.
//
// When the normalised weights of every pixel sum to 1 (as they do unless some
// pixel's weights were all but zero), the last render's weights at each level are
// one minus the others' and are worked out row by row instead of stored: the
// smoothing is linear and its taps sum to 1, so its pyramid equals one minus the
// others' pyramids but for rounding. Its map's memory becomes the accumulator's
// level 0.
void pyramidBlend(std::span<const Image* const> renders, std::vector<Plane>& weights, const Emit& emit) {
  const int w = renders[0]->w, h = renders[0]->h;
  const int count = levels(w, h);
  const std::vector<Size> size = levelSizes(w, h, count);
  const size_t n = renders.size();

  const bool complement = normaliseToOne(weights) && n >= 2;
  const size_t stored = complement ? n - 1 : n;
  std::vector<std::vector<Plane>> weightPyramids;
  weightPyramids.reserve(stored);
  for (size_t k = 0; k < stored; ++k) weightPyramids.push_back(gaussianPyramid(std::move(weights[k]), w, h));
  // Row pointers of the stored pyramids, level by level, for the complement.
  std::vector<std::vector<const float*>> storedAt(static_cast<size_t>(count));
  for (int l = 0; l < count; ++l)
    for (const std::vector<Plane>& pyramid : weightPyramids) storedAt[size_t(l)].push_back(pyramid[size_t(l)].data());

  // The accumulator pyramid and the two planes the walk down a render's levels
  // alternates between are made once and reused by every channel and render:
  // fresh memory costs the kernel a page fault and a cleared page per 4 KiB.
  // Every level of the accumulator is written in full by the first render before
  // anything reads it.
  std::vector<Plane> acc;
  acc.reserve(size_t(count));
  if (complement) acc.push_back(std::move(weights[n - 1]));
  else acc.emplace_back(area(size[0]));
  weights.clear();
  weights.shrink_to_fit();
  for (int l = 1; l < count; ++l) acc.emplace_back(area(size[size_t(l)]));
  Plane odd(count > 1 ? area(size[1]) : 0), even(count > 2 ? area(size[2]) : 0);
  auto levelPlane = [&](int l) { return l % 2 == 1 ? odd.data() : even.data(); };

  // Walks down the levels of one image (level 0 given as rows), adding each
  // level's detail times render i's weights into the accumulator.
  const int last = count - 1;
  auto walk = [&](const Rows& level0, size_t i, bool first) {
    for (int l = 0; l < count; ++l) {
      const Size s = size[size_t(l)];
      const Rows rows = l == 0 ? level0 : Rows::of(levelPlane(l), s.w, s.h);
      const Weights weight =
          i < stored ? Weights(weightPyramids[i][size_t(l)].data()) : Weights::complementOf(storedAt[size_t(l)]);
      float* a = acc[size_t(l)].data();
      if (l == last) {
        // The coarsest level keeps what remains of the low-pass image.
        addWeighted(rows, weight, a, first);
        return;
      }
      reduceAndAddDetail(rows, levelPlane(l + 1), weight, a, first);
    }
  };

  // Two renders whose weights sum to 1: w·L0 + (1 − w)·L1 = L1 + w·(L0 − L1) at
  // every level, L0 − L1 is the Laplacian pyramid of render 0 − render 1 (every
  // step is linear), and collapsing L1 alone gives render 1 back. So the blend is
  // render 1 plus the collapse of w·L(render 0 − render 1): one walk down the
  // levels instead of two, the same values but for rounding.
  const bool difference = complement && n == 2;
  for (int c = 0; c < 3; ++c) {
    if (difference) {
      walk(Rows::difference(*renders[0], *renders[1], c), 0, true);
    } else {
      for (size_t i = 0; i < n; ++i) walk(Rows::of(*renders[i], c), i, i == 0);
    }

    for (int l = last - 1; l >= 0; --l) {
      const Size coarse = size[size_t(l + 1)], fine = size[size_t(l)];
      addExpanded(acc[size_t(l + 1)].data(), coarse.w, coarse.h, acc[size_t(l)].data(), fine.w, fine.h);
    }
    if (difference) addRows(Rows::of(*renders[1], c), acc[0].data());
    emit(c, acc[0]);
  }
}

}  // namespace finish
