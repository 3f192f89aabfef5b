#include "pyramid/toolkit.h"

#include <algorithm>
#include <cmath>

#include "imaging/parallel.h"

namespace finish {

namespace {

inline int clampIndex(int i, int n) { return std::clamp(i, 0, n - 1); }

}  // namespace

std::vector<Size> levelSizes(int w, int h, int count) {
  std::vector<Size> sizes;
  sizes.reserve(size_t(count));
  Size s{w, h};
  for (int l = 0; l < count; ++l) {
    sizes.push_back(s);
    s = halved(s);
  }
  return sizes;
}

FINISH_VECTOR_CLONES void convolveRowAtEvenColumns(const float* in, float* out, int w) {
  const int nw = halved({w, 1}).w;
  auto edge = [&](int x) {
    const int c = 2 * x;
    out[x] = taps(in[clampIndex(c - 2, w)], in[clampIndex(c - 1, w)], in[c], in[clampIndex(c + 1, w)],
                  in[clampIndex(c + 2, w)]);
  };
  // Columns 2x − 2 … 2x + 2 lie inside the row for x in [1, (w − 3) / 2].
  const int inner0 = std::min(1, nw), inner1 = std::max(inner0, w >= 3 ? (w - 3) / 2 + 1 : 0);
  for (int x = 0; x < inner0; ++x) edge(x);
  for (int x = inner0; x < inner1; ++x) {
    const float* at = in + 2 * x;
    out[x] = taps(at[-2], at[-1], at[0], at[1], at[2]);
  }
  for (int x = inner1; x < nw; ++x) edge(x);
}

// ---------------------------------------------------------------------------
// Banded, multi-threaded forms. A row is first copied into a padded buffer with
// the edge sample repeated twice on either side (p[i] = row[clamp(i − 2)]), so the
// row loops have no edge cases and vectorise; the values are those of the plain
// passes (reference.h).

namespace kernels {

// out[x] = taps(p[x], …, p[x + 4]) for x in [0, n).
FINISH_VECTOR_CLONES void tapsRow(const float* p, float* out, int n) {
  for (int x = 0; x < n; ++x) out[x] = taps(p[x], p[x + 1], p[x + 2], p[x + 3], p[x + 4]);
}

FINISH_VECTOR_CLONES void tapsColumns(const float* r0, const float* r1, const float* r2, const float* r3,
                                      const float* r4, float* out, int n) {
  for (int x = 0; x < n; ++x) out[x] = taps(r0[x], r1[x], r2[x], r3[x], r4[x]);
}

FINISH_VECTOR_CLONES void detailRow(const float* r0, const float* r1, const float* r2, const float* r3, const float* r4,
                                    const float* g, const float* weight, float* acc, int n, Accumulator into) {
  if (into == Accumulator::fresh) {
    for (int x = 0; x < n; ++x) acc[x] = weight[x] * (g[x] - taps(r0[x], r1[x], r2[x], r3[x], r4[x])) + 0.0f;
  } else {
    for (int x = 0; x < n; ++x) acc[x] = weight[x] * (g[x] - taps(r0[x], r1[x], r2[x], r3[x], r4[x])) + acc[x];
  }
}

FINISH_VECTOR_CLONES void expandedRow(const float* r0, const float* r1, const float* r2, const float* r3,
                                      const float* r4, float* acc, int n) {
  for (int x = 0; x < n; ++x) acc[x] = taps(r0[x], r1[x], r2[x], r3[x], r4[x]) + acc[x];
}

FINISH_VECTOR_CLONES void weightedRow(const float* g, const float* weight, float* acc, int n, Accumulator into) {
  if (into == Accumulator::fresh) {
    for (int x = 0; x < n; ++x) acc[x] = weight[x] * g[x] + 0.0f;
  } else {
    for (int x = 0; x < n; ++x) acc[x] = weight[x] * g[x] + acc[x];
  }
}

// a[x] = a[x] − b[x].
FINISH_VECTOR_CLONES void subtractRow(float* __restrict a, const float* __restrict b, int n) {
  for (int x = 0; x < n; ++x) a[x] = a[x] - b[x];
}

// acc[x] = acc[x] + g[x].
FINISH_VECTOR_CLONES void addRow(const float* __restrict g, float* __restrict acc, int n) {
  for (int x = 0; x < n; ++x) acc[x] = acc[x] + g[x];
}

}  // namespace kernels

FINISH_VECTOR_CLONES void complementRow(const float* const* others, size_t count, float* out, int n) {
  if (count == 1) {
    for (int x = 0; x < n; ++x) out[x] = 1.0f - others[0][x];
  } else if (count == 2) {
    const float *a = others[0], *b = others[1];
    for (int x = 0; x < n; ++x) out[x] = 1.0f - (a[x] + b[x]);
  } else {
    std::copy(others[0], others[0] + n, out);
    for (size_t k = 1; k < count; ++k)
      for (int x = 0; x < n; ++x) out[x] = out[x] + others[k][x];
    for (int x = 0; x < n; ++x) out[x] = 1.0f - out[x];
  }
}

namespace {

// Per-thread scratch rows, grown as needed and kept for the next band.
struct Scratch {
  std::vector<float> band, padded, row, fine, coarse, smoothed, weight;
};
thread_local Scratch scratch;

// p[i] = row[clamp(i − 2, 0, w − 1)] for i in [0, w + 6).
void padRow(const float* row, int w, float* p) {
  p[0] = p[1] = row[0];
  std::copy(row, row + w, p + 2);
  for (int i = w + 2; i < w + 6; ++i) p[i] = row[w - 1];
}

// The padded form of the repeated row: p[i] = src[min(clamp(i − 2, 0, tw − 1) / 2, w − 1)].
void padRepeatedRow(const float* src, int w, int tw, float* p) {
  float* u = p + 2;
  const int pairs = std::min(w, tw / 2);
  for (int j = 0; j < pairs; ++j) u[2 * j] = u[2 * j + 1] = src[j];
  for (int x = 2 * pairs; x < tw; ++x) u[x] = src[std::min(x / 2, w - 1)];
  p[0] = p[1] = u[0];
  p[tw + 2] = p[tw + 3] = u[tw - 1];
}

// Rows per band for a pass over a plane: small planes (the coarse pyramid levels) go
// in one band on the calling thread, where handing them to the pool would cost more
// in waking and waiting than the work itself.
constexpr size_t reduceDetailBand = 16;  // coarse rows per band of reduceAndAddDetail

size_t bandOf(int rows, int width, size_t band) {
  constexpr size_t smallPlane = size_t(1) << 18;
  return size_t(rows) * size_t(width) < smallPlane ? std::max<size_t>(size_t(rows), 1) : band;
}

// Calls rowOp(y, r0…r4) for every row y in [y0, y1) of the tw×th expand of the
// cw×ch plane `coarse`, with r0…r4 the row-smoothed repeated rows of y's
// neighbourhood, top to bottom.
template <typename RowOp>
void expandBand(const float* coarse, int cw, int ch, int tw, int th, int y0, int y1, const RowOp& rowOp) {
  auto source = [&](int y) { return std::min(clampIndex(y, th) / 2, ch - 1); };
  const int s0 = source(y0 - 2), s1 = source(y1 + 1);
  float* band = scratchOf(scratch.band, size_t(s1 - s0 + 1) * size_t(tw));
  float* padded = scratchOf(scratch.padded, size_t(tw) + 6);
  for (int s = s0; s <= s1; ++s) {
    padRepeatedRow(coarse + size_t(s) * size_t(cw), cw, tw, padded);
    kernels::tapsRow(padded, band + size_t(s - s0) * size_t(tw), tw);
  }
  for (int y = y0; y < y1; ++y) {
    const float* r[5];
    for (int k = 0; k < 5; ++k) r[k] = band + size_t(source(y + k - 2) - s0) * size_t(tw);
    rowOp(y, r);
  }
}

// The same for every row, handed out in bands over the pool.
template <typename RowOp>
void expandRows(const float* coarse, int cw, int ch, int tw, int th, const RowOp& rowOp) {
  // Bands of 32 rows: their row-smoothed source rows stay in cache.
  parallelFor(size_t(th), bandOf(th, tw, 32),
              [&](size_t begin, size_t end) { expandBand(coarse, cw, ch, tw, th, int(begin), int(end), rowOp); });
}

}  // namespace

const float* Weights::row(int y, int w, float* scratch) const {
  const size_t at = size_t(y - top) * size_t(w);
  if (plane) return plane + at;
  // Pointers to row y of each plane, kept per thread.
  thread_local std::vector<const float*> rows;
  rows.resize(others.size());
  for (size_t k = 0; k < others.size(); ++k) rows[k] = others[k] + at;
  complementRow(rows.data(), rows.size(), scratch, w);
  return scratch;
}

const float* Rows::row(int y, float* out) const {
  if (plane) return plane + size_t(y - top) * size_t(w);
  image->channelRow(component, y, out);
  if (minus) {
    thread_local std::vector<float> other;
    minus->channelRow(component, y, scratchOf(other, size_t(w)));
    kernels::subtractRow(out, other.data(), w);
  }
  return out;
}

void reduceIntoBand(const Rows& src, int y0, int y1, float* dst) {
  const int w = src.w, h = src.h;
  const int nw = halved({w, h}).w;
  const int r0 = std::max(2 * y0 - 2, 0), r1 = std::min(2 * (y1 - 1) + 2, h - 1);
  float* band = scratchOf(scratch.band, size_t(r1 - r0 + 1) * size_t(nw));
  float* converted = scratchOf(scratch.row, size_t(w));
  // The strided row pass straight from the row beats splitting it into even
  // and odd samples first.
  for (int r = r0; r <= r1; ++r) convolveRowAtEvenColumns(src.row(r, converted), band + size_t(r - r0) * size_t(nw), w);
  for (int y = y0; y < y1; ++y) {
    const float* r[5];
    for (int k = 0; k < 5; ++k) r[k] = band + size_t(clampIndex(2 * y + k - 2, h) - r0) * size_t(nw);
    kernels::tapsColumns(r[0], r[1], r[2], r[3], r[4], dst + size_t(y) * size_t(nw), nw);
  }
}

void reduceInto(const Rows& src, float* dst) {
  // Bands of 16 output rows (35 input rows): the row pass stays in cache.
  parallelFor(size_t(halved({src.w, src.h}).h), bandOf(src.h, src.w, 16),
              [&](size_t begin, size_t end) { reduceIntoBand(src, int(begin), int(end), dst); });
}

void reduceAndAddDetailBand(const Rows& g, int c0, int c1, float* down, const Weights& weight, float* acc, int accTop,
                            Accumulator into) {
  const int tw = g.w, th = g.h;
  const Size c = halved({tw, th});
  const int cw = c.w, ch = c.h;
  auto source = [&](int y) { return std::min(clampIndex(y, th) / 2, ch - 1); };
  const int f0 = 2 * c0, f1 = std::min(2 * c1, th);
  const int k0 = source(f0 - 2), k1 = source(f1 + 1);
  const int r0 = std::max(2 * k0 - 2, 0), r1 = std::min(2 * k1 + 2, th - 1);
  float* fine = g.plane ? nullptr : scratchOf(scratch.fine, size_t(f1 - f0) * size_t(tw));
  float* even = scratchOf(scratch.band, size_t(r1 - r0 + 1) * size_t(cw));
  float* coarse = scratchOf(scratch.coarse, size_t(k1 - k0 + 1) * size_t(cw));
  float* smoothed = scratchOf(scratch.smoothed, size_t(k1 - k0 + 1) * size_t(tw));
  float* padded = scratchOf(scratch.padded, size_t(tw) + 6);
  float* converted = scratchOf(scratch.row, size_t(tw));
  float* weightRow = scratchOf(scratch.weight, size_t(tw));
  auto fineRow = [&](int y) -> const float* {
    if (g.plane) return g.row(y, converted);
    if (y >= f0 && y < f1) return fine + size_t(y - f0) * size_t(tw);
    return g.row(y, converted);
  };

  for (int r = r0; r <= r1; ++r) {
    if (fine && r >= f0 && r < f1) g.row(r, fine + size_t(r - f0) * size_t(tw));
    convolveRowAtEvenColumns(fineRow(r), even + size_t(r - r0) * size_t(cw), tw);
  }
  for (int k = k0; k <= k1; ++k) {
    const float* r[5];
    for (int j = 0; j < 5; ++j) r[j] = even + size_t(clampIndex(2 * k + j - 2, th) - r0) * size_t(cw);
    // Owned rows go straight into `down`; the neighbours' rows stay local.
    const bool owned = down && k >= c0 && k < c1;
    float* out = owned ? down + size_t(k) * size_t(cw) : coarse + size_t(k - k0) * size_t(cw);
    kernels::tapsColumns(r[0], r[1], r[2], r[3], r[4], out, cw);
    padRepeatedRow(out, cw, tw, padded);
    kernels::tapsRow(padded, smoothed + size_t(k - k0) * size_t(tw), tw);
  }
  for (int y = f0; y < f1; ++y) {
    const float* r[5];
    for (int j = 0; j < 5; ++j) r[j] = smoothed + size_t(source(y + j - 2) - k0) * size_t(tw);
    const float* wy = weight.row(y, tw, weightRow);
    kernels::detailRow(r[0], r[1], r[2], r[3], r[4], fineRow(y), wy, acc + size_t(y - accTop) * size_t(tw), tw, into);
  }
}

void reduceAndAddDetail(const Rows& g, float* down, const Weights& weight, float* acc, Accumulator into) {
  // Each band owns a run of coarse rows and the fine rows above them. It also
  // computes the coarse row on either side that its detail needs (the neighbours
  // write those to `down`), so no band waits for another; the fine rows it owns
  // are read (converted) once for both the reduce and the detail.
  parallelFor(size_t(halved({g.w, g.h}).h), bandOf(g.h, g.w, reduceDetailBand), [&](size_t begin, size_t end) {
    reduceAndAddDetailBand(g, int(begin), int(end), down, weight, acc, 0, into);
  });
}

void addWeightedBand(const Rows& g, int y0, int y1, const Weights& weight, float* acc, int accTop, Accumulator into) {
  const int w = g.w;
  float* converted = scratchOf(scratch.row, size_t(w));
  float* weightRow = scratchOf(scratch.weight, size_t(w));
  for (int y = y0; y < y1; ++y)
    kernels::weightedRow(g.row(y, converted), weight.row(y, w, weightRow), acc + size_t(y - accTop) * size_t(w), w,
                         into);
}

void addWeighted(const Rows& g, const Weights& weight, float* acc, Accumulator into) {
  parallelFor(size_t(g.h), bandOf(g.h, g.w, 32),
              [&](size_t begin, size_t end) { addWeightedBand(g, int(begin), int(end), weight, acc, 0, into); });
}

void addRowsBand(const Rows& g, int y0, int y1, float* acc, int accTop) {
  const int w = g.w;
  float* converted = scratchOf(scratch.row, size_t(w));
  for (int y = y0; y < y1; ++y) kernels::addRow(g.row(y, converted), acc + size_t(y - accTop) * size_t(w), w);
}

void addExpandedBand(const float* coarse, int cw, int ch, int tw, int th, int y0, int y1, float* acc, int accTop) {
  expandBand(coarse, cw, ch, tw, th, y0, y1, [&](int y, const float* const r[5]) {
    kernels::expandedRow(r[0], r[1], r[2], r[3], r[4], acc + size_t(y - accTop) * size_t(tw), tw);
  });
}

void addExpanded(const float* coarse, int cw, int ch, float* acc, int tw, int th) {
  // Bands of 32 rows: their row-smoothed source rows stay in cache.
  parallelFor(size_t(th), bandOf(th, tw, 32),
              [&](size_t begin, size_t end) { addExpandedBand(coarse, cw, ch, tw, th, int(begin), int(end), acc, 0); });
}

Plane blur(const Plane& p, int w, int h) {
  Plane out(p.size());
  parallelFor(size_t(h), bandOf(h, w, 32), [&](size_t begin, size_t end) {
    const int y0 = int(begin), y1 = int(end);
    const int r0 = std::max(y0 - 2, 0), r1 = std::min(y1 + 1, h - 1);
    float* band = scratchOf(scratch.band, size_t(r1 - r0 + 1) * size_t(w));
    float* padded = scratchOf(scratch.padded, size_t(w) + 6);
    for (int r = r0; r <= r1; ++r) {
      padRow(p.data() + size_t(r) * size_t(w), w, padded);
      kernels::tapsRow(padded, band + size_t(r - r0) * size_t(w), w);
    }
    for (int y = y0; y < y1; ++y) {
      const float* r[5];
      for (int k = 0; k < 5; ++k) r[k] = band + size_t(clampIndex(y + k - 2, h) - r0) * size_t(w);
      kernels::tapsColumns(r[0], r[1], r[2], r[3], r[4], out.data() + size_t(y) * size_t(w), w);
    }
  });
  return out;
}

Reduced reduce(const Plane& p, int w, int h) {
  const Size next = halved({w, h});
  Reduced r{Plane(size_t(next.w) * size_t(next.h)), next.w, next.h};
  reduceInto(Rows::of(p.data(), w, h), r.plane.data());
  return r;
}

Plane expand(const Plane& p, int w, int h, int tw, int th) {
  Plane out(size_t(tw) * size_t(th));
  expandRows(p.data(), w, h, tw, th, [&](int y, const float* const r[5]) {
    kernels::tapsColumns(r[0], r[1], r[2], r[3], r[4], out.data() + size_t(y) * size_t(tw), tw);
  });
  return out;
}

int levels(int w, int h) {
  const double m = double(std::min(w, h));
  const int k = int(std::log2(m));
  return std::max(k - 3, 1);
}

}  // namespace finish
