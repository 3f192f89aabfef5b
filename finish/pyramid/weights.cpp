#include "pyramid/weights.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "imaging/parallel.h"
#include "pyramid/exp.h"

namespace finish {

namespace {

FINISH_VECTOR_CLONES void lumaRow(const float* r, const float* g, const float* b, float* y, size_t n) {
  for (size_t i = 0; i < n; ++i) y[i] = 0.2126f * r[i] + 0.7152f * g[i];
  for (size_t i = 0; i < n; ++i) y[i] = y[i] + 0.0722f * b[i];
}

FINISH_VECTOR_CLONES void greyRow(const float* r, const float* g, const float* b, float* grey, int n) {
  for (int i = 0; i < n; ++i) grey[i] = ((r[i] + g[i]) + b[i]) / 3.0f;
}

// Contrast and saturation of one row (into `contrast` and `saturation`), and the
// squared distance from mid-grey over the three channels divided by −0.08 (into
// `spread`), ready for the exponential.
// `row` is padded: row[0] repeats the first grey sample and row[w + 1] the last, so
// pixel x sits at row[x + 1]; `up` and `down` are padded the same way.
FINISH_VECTOR_CLONES void measuresRow(const float* __restrict up, const float* __restrict row,
                                      const float* __restrict down, const float* __restrict r,
                                      const float* __restrict g, const float* __restrict b, float* __restrict contrast,
                                      float* __restrict saturation, float* __restrict spread, int w) {
  for (int x = 0; x < w; ++x) {
    const float left = row[x], centre = row[x + 1], right = row[x + 2];
    contrast[x] = std::fabs((((left + right) + up[x + 1]) + down[x + 1]) + centre * -4.0f);
    const float mu = ((r[x] + g[x]) + b[x]) / 3.0f;
    const float dr = r[x] - mu, dg = g[x] - mu, db = b[x] - mu;
    saturation[x] = std::sqrt(((dr * dr + dg * dg) + db * db) / 3.0f);
    const float er = r[x] - 0.5f, eg = g[x] - 0.5f, eb = b[x] - 0.5f;
    spread[x] = ((er * er + eg * eg) + eb * eb) / -0.08f;
  }
}

// weight = e^spread · (contrast · saturation) + 1e-12 for one row.
FINISH_VECTOR_CLONES void weightRow(const float* __restrict spread, const float* __restrict contrast,
                                    const float* __restrict saturation, float* __restrict out, int w) {
  for (int x = 0; x < w; ++x) out[x] = expNear(spread[x]) * (contrast[x] * saturation[x]) + 1e-12f;
}

struct WeightScratch {
  std::vector<float> grey, r, g, b, contrast, saturation, spread;
};
thread_local WeightScratch scratch;

}  // namespace

void lumaRows(const Image& image, int y0, int y1, float* out) {
  const size_t begin = size_t(y0) * size_t(image.w), end = size_t(y1) * size_t(image.w);
  constexpr size_t chunk = size_t(1) << 14;
  for (size_t at = begin; at < end; at += chunk) {
    const size_t count = std::min(chunk, end - at);
    float* r = scratchOf(scratch.r, count);
    float* g = scratchOf(scratch.g, count);
    float* b = scratchOf(scratch.b, count);
    image.channelRange(0, at, at + count, r);
    image.channelRange(1, at, at + count, g);
    image.channelRange(2, at, at + count, b);
    lumaRow(r, g, b, out + (at - begin), count);
  }
}

Plane luma(const Image& image) {
  Plane y(image.n());
  const int h = image.h;
  parallelFor(size_t(h), grainFor(size_t(h), 16), [&](size_t begin, size_t end) {
    lumaRows(image, int(begin), int(end), y.data() + begin * size_t(image.w));
  });
  return y;
}

void mertensRows(const Image& image, int y0, int y1, float* out) {
  const int w = image.w, h = image.h;
  // Rows go by one after another: the grey rows above, at and below the current
  // one, and the channels of the current row and the next, in small rings (row y's
  // grey at slot y mod 3, its channels at slot y mod 2), so that each row is
  // converted once and the working set stays a few rows however many are asked for.
  const size_t stride = size_t(w) + 2;  // grey rows padded by one sample each side
  float* grey = scratchOf(scratch.grey, 3 * stride);
  float* rs = scratchOf(scratch.r, 2 * size_t(w));
  float* gs = scratchOf(scratch.g, 2 * size_t(w));
  float* bs = scratchOf(scratch.b, 2 * size_t(w));
  auto load = [&](int y) {
    const size_t at = size_t(y % 2) * size_t(w);
    image.channelRow(0, y, rs + at);
    image.channelRow(1, y, gs + at);
    image.channelRow(2, y, bs + at);
    float* row = grey + size_t(y % 3) * stride;
    greyRow(rs + at, gs + at, bs + at, row + 1, w);
    row[0] = row[1];
    row[w + 1] = row[w];
  };
  float* contrast = scratchOf(scratch.contrast, size_t(w));
  float* saturation = scratchOf(scratch.saturation, size_t(w));
  float* spread = scratchOf(scratch.spread, size_t(w));
  if (y0 > 0) load(y0 - 1);
  load(y0);
  for (int y = y0; y < y1; ++y) {
    if (y + 1 < h) load(y + 1);
    const size_t at = size_t(y % 2) * size_t(w);
    const float* up = grey + size_t(std::max(y - 1, 0) % 3) * stride;
    const float* row = grey + size_t(y % 3) * stride;
    const float* down = grey + size_t(std::min(y + 1, h - 1) % 3) * stride;
    measuresRow(up, row, down, rs + at, gs + at, bs + at, contrast, saturation, spread, w);
    weightRow(spread, contrast, saturation, out + size_t(y - y0) * size_t(w), w);
  }
}

Plane mertensWeight(const Image& image) {
  Plane weight(image.n());
  // Bands of a few rows, so that their converted channels stay in cache.
  parallelFor(size_t(image.h), 16, [&](size_t begin, size_t end) {
    mertensRows(image, int(begin), int(end), weight.data() + begin * size_t(image.w));
  });
  return weight;
}

}  // namespace finish
