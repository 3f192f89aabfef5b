// Pyramid operations on float planes: the fixed 5-tap smoothing, halving a plane,
// doubling it back, and the banded forms of these that the blend is built from.
// Their plain forms, which define the values, are in reference.h.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "imaging/image.h"

namespace finish {

// The binomial row 1 4 6 4 1 divided by 16; the taps sum to exactly 1. Used for
// rows and columns alike.
inline constexpr std::array<float, 5> kernel = {0.0625f, 0.25f, 0.375f, 0.25f, 0.0625f};

// One smoothed sample from the five of its neighbourhood, in this order of
// operations: ((((k0·a + k1·b) + k2·c) + k3·d) + k4·e).
inline float taps(float a, float b, float c, float d, float e) {
  return (((kernel[0] * a + kernel[1] * b) + kernel[2] * c) + kernel[3] * d) + kernel[4] * e;
}

// Width and height of one pyramid level.
struct Size {
  int w;
  int h;
  friend bool operator==(Size, Size) = default;
};

// The next level's size: halves rounded up (5 → 3, 4 → 2, 1 → 1).
inline Size halved(Size s) { return {(s.w + 1) / 2, (s.h + 1) / 2}; }

// Sizes of levels 0…count−1 of a pyramid over a w×h plane.
std::vector<Size> levelSizes(int w, int h, int count);

// The row pass of the smoothing at the even columns of one row of w samples only
// (halved(w) of them); samples beyond an edge repeat the edge sample.
void convolveRowAtEvenColumns(const float* in, float* out, int w);

// The 5-tap smoothing of a w×h plane: rows first, then columns; samples beyond an
// edge repeat the edge sample.
Plane blur(const Plane& p, int w, int h);

struct Reduced {
  Plane plane;
  int w;
  int h;
};

// The smoothing's samples at even rows and columns, starting at (0, 0): the same
// values as reference::subsample(blur(p)), computed only where they are kept.
Reduced reduce(const Plane& p, int w, int h);

// Repeats each sample of the w×h plane into a 2×2 block (the last row and column
// repeat when the target is larger than twice the source), cut to tw×th, then
// smooths: the same values as blur(reference::repeat(p)). No gain factor: a constant plane
// stays constant.
Plane expand(const Plane& p, int w, int h, int tw, int th);

// The rows of one pyramid level: a float plane, or (level 0 of a render) one
// component of a pixel buffer read as values 0…1 the way Image::channel reads it.
// Or the difference of one component of two renders of the same size, image −
// minus, each read as above. A plane may hold only some rows of the level, from
// row `top` on (a band); w and h are always the whole level's.
struct Rows {
  const float* plane = nullptr;
  const Image* image = nullptr;
  int component = 0;
  int w = 0;
  int h = 0;
  const Image* minus = nullptr;
  int top = 0;

  static Rows of(const float* plane, int w, int h) { return {plane, nullptr, 0, w, h, nullptr, 0}; }
  static Rows of(const Image& image, int component) {
    return {nullptr, &image, component, image.w, image.h, nullptr, 0};
  }
  static Rows difference(const Image& image, const Image& minus, int component) {
    return {nullptr, &image, component, image.w, image.h, &minus, 0};
  }
  // Rows top, top + 1, … of a w×h level, held one after another from `rows` on.
  static Rows band(const float* rows, int top, int w, int h) { return {rows, nullptr, 0, w, h, nullptr, top}; }

  // Row y: a pointer into the plane, or the row converted into `scratch` (w values).
  const float* row(int y, float* scratch) const;
};

// The weights of one pyramid level, row by row: a plane (or, like Rows, a band of
// it from row `top` on), or one minus the sum of other planes (the last render's
// weights, when the weights of every pixel sum to 1, need not be stored).
struct Weights {
  const float* plane = nullptr;
  std::span<const float* const> others;
  int top = 0;

  Weights(const float* plane, int top = 0) : plane(plane), top(top) {}  // NOLINT: a plane is the usual case
  static Weights complementOf(std::span<const float* const> others, int top = 0) {
    Weights weights(nullptr, top);
    weights.others = others;
    return weights;
  }

  // Row y of a level w samples wide: a pointer into the plane, or 1 − ((o0 + o1)
  // + …) worked out into `scratch` (w values).
  const float* row(int y, int w, float* scratch) const;
};

// out[x] = 1 − ((others[0][x] + others[1][x]) + …) for x in [0, n): the last
// render's weights when those of every pixel sum to 1.
void complementRow(const float* const* others, size_t count, float* out, int n);

// The banded, multi-threaded forms of the operations above, on which the blend is
// built. Every sample is computed with the same operations in the same order as in
// blur, reduce and expand, so the values are identical to theirs.

// reduce(src) into dst, a plane of halved(src.w, src.h).
void reduceInto(const Rows& src, float* dst);

// Rows [k0, k1) of that plane only, on the calling thread (row k at dst + k·halved(src.w)).
void reduceIntoBand(const Rows& src, int k0, int k1, float* dst);

// Whether an accumulator is to be started or added to. The first render's
// contribution to a level starts it, without reading what the memory holds:
// acc[p] = x + 0; every later one adds to it: acc[p] = x + acc[p].
enum class Accumulator { fresh, running };

// In one sweep over g, band by band: reduceInto(g, down), unless `down` is null;
// and acc[p] = weight[p]·(g[p] − up[p]) + acc[p] over the level of g, where up is
// the expand of the reduced level to g's size (+ 0 instead of acc[p] when `into`
// is fresh).
void reduceAndAddDetail(const Rows& g, float* down, const Weights& weight, float* acc, Accumulator into);

// One band of that sweep, on the calling thread: the coarse rows [c0, c1) of the
// reduce of g go into `down` (row k at down + k·halved(g.w)), unless `down` is
// null; the detail of g's rows [2·c0, min(2·c1, g.h)) times the weights is added
// into acc, whose row y lies at acc + (y − accTop)·g.w. The coarse rows next to the
// band that the detail needs are computed here too, so bands never wait for each
// other.
void reduceAndAddDetailBand(const Rows& g, int c0, int c1, float* down, const Weights& weight, float* acc, int accTop,
                            Accumulator into);

// acc[p] = weight[p]·g[p] + acc[p] (+ 0 instead of acc[p] when `into` is fresh).
void addWeighted(const Rows& g, const Weights& weight, float* acc, Accumulator into);

// The same for rows [y0, y1) on the calling thread, acc's row y at acc + (y − accTop)·g.w.
void addWeightedBand(const Rows& g, int y0, int y1, const Weights& weight, float* acc, int accTop, Accumulator into);

// acc[p] = acc[p] + g[p] for rows [y0, y1) of the level of g, on the calling
// thread, acc's row y at acc + (y − accTop)·g.w.
void addRowsBand(const Rows& g, int y0, int y1, float* acc, int accTop);

// acc[p] = up[p] + acc[p] over a tw×th plane, where up is the expand of the cw×ch
// plane `coarse` to tw×th.
void addExpanded(const float* coarse, int cw, int ch, float* acc, int tw, int th);

// The same for rows [y0, y1) on the calling thread, acc's row y at acc + (y − accTop)·tw.
void addExpandedBand(const float* coarse, int cw, int ch, int tw, int th, int y0, int y1, float* acc, int accTop);

// Number of pyramid levels for a w×h plane (w, h ≥ 1): floor(log2(min(w, h))) − 3,
// at least 1.
int levels(int w, int h);

}  // namespace finish
