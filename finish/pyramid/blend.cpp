#include "pyramid/blend.h"

#include <algorithm>
#include <atomic>

#include "imaging/parallel.h"
#include "imaging/phases.h"
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

size_t area(Size s) { return size_t(s.w) * size_t(s.h); }

// Per-thread band buffers of the blend.
struct BandScratch {
  std::vector<std::vector<float>> maps;  // one per weight map
  std::vector<float*> pointers;
  std::vector<float> acc;     // a band of the channel being made
  std::vector<float> lag[3];  // per channel, rows of earlier bands not yet handed on

  float* const* mapsFor(size_t n, size_t values) {
    maps.resize(std::max(maps.size(), n));
    pointers.resize(n);
    for (size_t k = 0; k < n; ++k) pointers[k] = scratchOf(maps[k], values);
    return pointers.data();
  }
};
thread_local BandScratch bandScratch;

// Rows of the renders that a band of the last sweep reads outside its own rows
// [f0, f1): f0 − 4 … f1 + 2 for the reduce that the detail of its first and last
// rows needs (f0 is even), one row either side for the weights. One more each way,
// to be safe.
constexpr int readAbove = 5, readBelow = 4;

}  // namespace

bool normalise(float* const* maps, size_t n, size_t count) {
  if (n == 2) return normaliseTwo(maps[0], maps[1], 0, count);
  if (n == 3) return normaliseThree(maps[0], maps[1], maps[2], 0, count);
  return normaliseRangeAny(maps, n, 0, count);
}

// Every value is computed with the same operations in the same order as by the
// plain blend of whole planes (reference.h), except where said:
//
// When the normalised weights of every pixel sum to 1 (as they do unless some
// pixel's weights were all but zero), the last render's weights at each level are
// one minus the others' and are worked out row by row instead of stored: the
// smoothing is linear and its taps sum to 1, so its pyramid equals one minus the
// others' pyramids but for rounding.
//
// Two renders whose weights sum to 1: w·L0 + (1 − w)·L1 = L1 + w·(L0 − L1) at every
// level, L0 − L1 is the Laplacian pyramid of render 0 − render 1 (every step is
// linear), and collapsing L1 alone gives render 1 back. So the blend is render 1
// plus the collapse of w·L(render 0 − render 1): one walk down the levels instead
// of two, the same values but for rounding.
//
// The work goes in three steps, so that neither the weight maps nor the finest
// level of any pyramid is ever held whole:
//  1. a sweep over the rows makes the normalised weights band by band and reduces
//     them into the weight pyramids' second level;
//  2. for each channel, each render walks down its levels from the second (reduced
//     straight from its pixel buffer), adding each level's detail into the
//     channel's accumulator pyramid, which is then collapsed down to the second
//     level;
//  3. a last sweep makes, band by band, the weights again and every render's
//     finest detail for all three channels, adds the expanded second level and
//     hands the rows on.
void pyramidBlend(std::span<const Image* const> renders, const WeightRows& weightRows, const EmitRows& emit) {
  const int w = renders[0]->w, h = renders[0]->h;
  const int count = levels(w, h), last = count - 1;
  const std::vector<Size> size = levelSizes(w, h, count);
  const size_t n = renders.size();
  const size_t width = size_t(w);

  // 1. Normalised weights, and their second level.
  std::vector<Plane> second;
  if (count > 1)
    for (size_t k = 0; k < n; ++k) second.emplace_back(area(size[1]));
  std::atomic<bool> small{false};
  {
    // A band of coarse rows [k0, k1) is reduced from the fine rows 2·k0 − 2 … 2·k1
    // (the three rows it shares with the band above are made by both). Bands of up
    // to 16 coarse rows, fewer on wide rows, so that a band's maps stay in cache.
    const int units = count > 1 ? size[1].h : h;
    parallelFor(size_t(units), size_t(std::clamp((1 << 17) / w, 4, 16)), [&](size_t begin, size_t end) {
      const int k0 = int(begin), k1 = int(end);
      const int r0 = count > 1 ? std::max(2 * k0 - 2, 0) : k0;
      const int r1 = count > 1 ? std::min(2 * k1 + 1, h) : k1;
      float* const* maps = bandScratch.mapsFor(n, size_t(r1 - r0) * width);
      weightRows(r0, r1, maps);
      if (normalise(maps, n, size_t(r1 - r0) * width)) small = true;
      if (count > 1)
        for (size_t k = 0; k < n; ++k) reduceIntoBand(Rows::band(maps[k], r0, w, h), k0, k1, second[k].data());
    });
  }
  notePhase("blend: weights, second level");
  const bool complement = !small && n >= 2;
  const size_t stored = complement ? n - 1 : n;
  const bool difference = complement && n == 2;
  if (count > 1 && complement) second.pop_back();

  // The weight pyramids from the second level on (level 0 stays empty).
  std::vector<std::vector<Plane>> weightPyramids(stored);
  for (size_t k = 0; k < stored && count > 1; ++k) {
    std::vector<Plane>& pyramid = weightPyramids[k];
    pyramid.resize(size_t(count));
    pyramid[1] = std::move(second[k]);
    for (int l = 2; l < count; ++l) {
      pyramid[size_t(l)] = Plane(area(size[size_t(l)]));
      reduceInto(Rows::of(pyramid[size_t(l - 1)].data(), size[size_t(l - 1)].w, size[size_t(l - 1)].h),
                 pyramid[size_t(l)].data());
    }
  }
  second.clear();
  notePhase("blend: weight pyramids");
  // Pointers to each level of the stored pyramids, for the complement.
  std::vector<std::vector<const float*>> storedAt(static_cast<size_t>(count));
  for (int l = 1; l < count; ++l)
    for (const std::vector<Plane>& pyramid : weightPyramids) storedAt[size_t(l)].push_back(pyramid[size_t(l)].data());

  // 2. The coarse levels, channel by channel. Each channel keeps its second level
  // (collapsed) for the last sweep; the coarser accumulator levels and the two
  // planes a render's walk alternates between are made once and shared.
  std::vector<Plane> secondOf(count > 1 ? 3 : 0);
  std::vector<Plane> coarser(size_t(std::max(count, 2)));
  for (int l = 2; l < count; ++l) coarser[size_t(l)] = Plane(area(size[size_t(l)]));
  Plane odd(count > 1 ? area(size[1]) : 0), even(count > 2 ? area(size[2]) : 0);
  auto levelPlane = [&](int l) { return l % 2 == 1 ? odd.data() : even.data(); };
  for (int c = 0; c < 3 && count > 1; ++c) {
    secondOf[size_t(c)] = Plane(area(size[1]));
    auto accAt = [&](int l) { return l == 1 ? secondOf[size_t(c)].data() : coarser[size_t(l)].data(); };
    auto walk = [&](const Rows& level0, size_t i, Accumulator into) {
      reduceInto(level0, levelPlane(1));
      for (int l = 1; l < count; ++l) {
        const Size s = size[size_t(l)];
        const Rows rows = Rows::of(levelPlane(l), s.w, s.h);
        const Weights weight =
            i < stored ? Weights(weightPyramids[i][size_t(l)].data()) : Weights::complementOf(storedAt[size_t(l)]);
        if (l == last) {
          // The coarsest level keeps what remains of the low-pass image.
          addWeighted(rows, weight, accAt(l), into);
          return;
        }
        reduceAndAddDetail(rows, levelPlane(l + 1), weight, accAt(l), into);
      }
    };
    if (difference) {
      walk(Rows::difference(*renders[0], *renders[1], c), 0, Accumulator::fresh);
    } else {
      for (size_t i = 0; i < n; ++i)
        walk(Rows::of(*renders[i], c), i, i == 0 ? Accumulator::fresh : Accumulator::running);
    }
    for (int l = last - 1; l >= 1; --l) {
      const Size coarse = size[size_t(l + 1)], fine = size[size_t(l)];
      addExpanded(accAt(l + 1), coarse.w, coarse.h, accAt(l), fine.w, fine.h);
    }
  }
  notePhase("blend: coarse levels");
  odd = Plane();
  even = Plane();
  coarser.clear();
  weightPyramids.clear();

  // 3. The finest level of all three channels, in stripes of rows; each stripe
  // goes down its rows band by band. The renders may be overwritten by what is
  // handed on, so a row is handed on only once nothing reads it any more: within a
  // stripe, the rows a later band reads stay back until that band is done; the
  // first and last rows of a stripe, which the neighbouring stripes read, stay
  // back until every stripe is done.
  struct Held {
    int y0 = 0, y1 = 0;
    std::vector<float> rows;  // the three channels, one after another
  };
  constexpr int bandRows = 32;  // even: the bands of a level start at even rows
  const size_t threads = size_t(threadCount());
  const int stripeRows =
      area(size[0]) < (size_t(1) << 18)
          ? h
          : std::max(bandRows, (int(size_t(h) / (threads * 4)) + bandRows - 1) / bandRows * bandRows);
  const int stripes = (h + stripeRows - 1) / stripeRows;
  std::vector<Held> held(2 * size_t(stripes));
  parallelFor(size_t(h), size_t(stripeRows), [&](size_t begin, size_t end) {
    const int top = int(begin), bottom = int(end);
    const int lo = top > 0 ? std::min(top + readBelow, bottom) : top;
    const int hi = bottom < h ? std::max(bottom - readAbove, lo) : bottom;
    const size_t stripe = size_t(top / stripeRows);
    BandScratch& scratch = bandScratch;
    // The band being made, and per channel the rows of the bands before it that
    // are still to be handed on (rows lagTop … f0 − 1, at most readAbove of them).
    float* acc = scratchOf(scratch.acc, size_t(bandRows) * width);
    float* lag[3];
    for (int c = 0; c < 3; ++c) lag[c] = scratchOf(scratch.lag[c], size_t(readAbove) * width);
    int lagTop = top;
    int next = lo;  // the first row of [lo, hi) not yet handed on (the same for every channel)
    for (int f0 = top; f0 < bottom; f0 += bandRows) {
      const int f1 = std::min(f0 + bandRows, bottom);
      const size_t values = size_t(f1 - f0) * width;
      float* const* maps = scratch.mapsFor(n, values);
      weightRows(f0, f1, maps);
      normalise(maps, n, values);
      if (complement && !difference) complementRow(maps, n - 1, maps[n - 1], int(values));
      // Row y of channel c: in its lag rows or in the band.
      auto at = [&](int c, int y) {
        return y < f0 ? lag[c] + size_t(y - lagTop) * width : acc + size_t(y - f0) * width;
      };
      // Rows [y0, y1) of channel c, which may straddle the lag rows and the band.
      auto pieces = [&](int c, int y0, int y1, const auto& use) {
        if (y0 < std::min(y1, f0)) use(y0, std::min(y1, f0), at(c, y0));
        if (std::max(y0, f0) < y1) use(std::max(y0, f0), y1, at(c, std::max(y0, f0)));
      };
      const int ready = f1 == bottom ? hi : std::clamp(f1 - readAbove, next, hi);
      const int from = f1 == bottom ? f1 : std::max(ready, f1 - readAbove);  // the new lag rows
      for (int c = 0; c < 3; ++c) {
        auto add = [&](const Rows& g, size_t i, Accumulator into) {
          const Weights weight(maps[i], f0);
          if (count > 1) reduceAndAddDetailBand(g, f0 / 2, (f1 + 1) / 2, nullptr, weight, acc, f0, into);
          else addWeightedBand(g, f0, f1, weight, acc, f0, into);
        };
        if (difference) {
          add(Rows::difference(*renders[0], *renders[1], c), 0, Accumulator::fresh);
        } else {
          for (size_t i = 0; i < n; ++i)
            add(Rows::of(*renders[i], c), i, i == 0 ? Accumulator::fresh : Accumulator::running);
        }
        if (count > 1) addExpandedBand(secondOf[size_t(c)].data(), size[1].w, size[1].h, w, h, f0, f1, acc, f0);
        if (difference) addRowsBand(Rows::of(*renders[1], c), f0, f1, acc, f0);

        auto keep = [&](Held& into, int y0, int y1) {
          const size_t rows = size_t(y1 - y0) * width;
          into.y0 = y0;
          into.y1 = y1;
          into.rows.resize(3 * rows);
          pieces(c, y0, y1, [&](int a, int b, const float* p) {
            std::copy_n(p, size_t(b - a) * width,
                        into.rows.begin() + ptrdiff_t(size_t(c) * rows + size_t(a - y0) * width));
          });
        };
        if (f0 == top && lo > top) keep(held[2 * stripe], top, lo);
        if (ready > next) pieces(c, next, ready, [&](int a, int b, const float* p) { emit(c, a, b, p); });
        if (f1 == bottom && hi < bottom) keep(held[2 * stripe + 1], hi, bottom);
        // Rows from f1 − readAbove on are read by the next band: they wait in the lag rows.
        if (f1 < bottom) std::copy(at(c, from), at(c, from) + size_t(f1 - from) * width, lag[c]);
      }
      next = std::max(next, ready);
      lagTop = from;
    }
  });
  for (const Held& rows : held) {
    if (rows.y1 <= rows.y0) continue;
    const size_t values = size_t(rows.y1 - rows.y0) * width;
    for (int c = 0; c < 3; ++c) emit(c, rows.y0, rows.y1, rows.rows.data() + size_t(c) * values);
  }
  notePhase("blend: finest level");
}

void pyramidBlend(std::span<const Image* const> renders, std::vector<Plane>& weights, const Emit& emit) {
  const size_t width = size_t(renders[0]->w);
  std::vector<Plane> channels(3, Plane(renders[0]->n()));
  pyramidBlend(
      renders,
      [&](int y0, int y1, float* const* maps) {
        for (size_t k = 0; k < weights.size(); ++k)
          std::copy(weights[k].begin() + ptrdiff_t(size_t(y0) * width),
                    weights[k].begin() + ptrdiff_t(size_t(y1) * width), maps[k]);
      },
      [&](int c, int y0, int y1, const float* rows) {
        std::copy_n(rows, size_t(y1 - y0) * width, channels[size_t(c)].begin() + ptrdiff_t(size_t(y0) * width));
      });
  weights.clear();
  weights.shrink_to_fit();
  for (int c = 0; c < 3; ++c) emit(c, channels[size_t(c)]);
}

}  // namespace finish
