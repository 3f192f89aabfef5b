#include "pyramid/reference.h"

#include <algorithm>
#include <cmath>

namespace finish::reference {

namespace {

inline int clampIndex(int i, int n) { return std::clamp(i, 0, n - 1); }

// d = g − up, element by element.
void subtract(float* d, const float* g, const float* up, size_t count) {
  for (size_t p = 0; p < count; ++p) d[p] = g[p] - up[p];
}

// r = expanded + acc, element by element.
void addInto(float* r, const float* acc, size_t count) {
  for (size_t p = 0; p < count; ++p) r[p] = r[p] + acc[p];
}

size_t area(Size s) { return size_t(s.w) * size_t(s.h); }

}  // namespace

void convolveRow(const float* in, float* out, int w) {
  // Edge samples, where the neighbourhood runs past the row's ends.
  auto edge = [&](int x) {
    out[x] = taps(in[clampIndex(x - 2, w)], in[clampIndex(x - 1, w)], in[x], in[clampIndex(x + 1, w)],
                  in[clampIndex(x + 2, w)]);
  };
  const int inner0 = std::min(2, w), inner1 = std::max(inner0, w - 2);
  for (int x = 0; x < inner0; ++x) edge(x);
  for (int x = inner0; x < inner1; ++x) out[x] = taps(in[x - 2], in[x - 1], in[x], in[x + 1], in[x + 2]);
  for (int x = inner1; x < w; ++x) edge(x);
}

void combineRows(const float* const rows[5], float* out, int w) {
  const float *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3], *r4 = rows[4];
  for (int x = 0; x < w; ++x) out[x] = taps(r0[x], r1[x], r2[x], r3[x], r4[x]);
}

void convolveRows(const float* src, float* dst, int w, int h) {
  for (int y = 0; y < h; ++y) convolveRow(src + size_t(y) * size_t(w), dst + size_t(y) * size_t(w), w);
}

void convolveColumns(const float* src, float* dst, int w, int h) {
  const size_t stride = size_t(w);
  for (int y = 0; y < h; ++y) {
    const float* rows[5];
    for (int k = 0; k < 5; ++k) rows[k] = src + size_t(clampIndex(y + k - 2, h)) * stride;
    combineRows(rows, dst + size_t(y) * stride, w);
  }
}

void subsample(const float* src, int w, int h, float* dst) {
  const Size next = halved({w, h});
  for (int y = 0; y < next.h; ++y) {
    const float* row = src + size_t(std::min(2 * y, h - 1)) * size_t(w);
    float* out = dst + size_t(y) * size_t(next.w);
    for (int x = 0; x < next.w; ++x) out[x] = row[std::min(2 * x, w - 1)];
  }
}

void repeat(const float* src, int w, int h, float* dst, int tw, int th) {
  for (int y = 0; y < th; ++y) {
    const float* row = src + size_t(std::min(y / 2, h - 1)) * size_t(w);
    float* out = dst + size_t(y) * size_t(tw);
    for (int x = 0; x < tw; ++x) out[x] = row[std::min(x / 2, w - 1)];
  }
}

Plane blur(const Plane& p, int w, int h) {
  Plane across(p.size());
  convolveRows(p.data(), across.data(), w, h);
  Plane out(p.size());
  convolveColumns(across.data(), out.data(), w, h);
  return out;
}

Reduced reduce(const Plane& p, int w, int h) {
  // Only the kept samples are smoothed: the row pass at even columns, then the
  // column pass at even rows. Each kept sample is computed exactly as blur
  // computes it.
  const Size next = halved({w, h});
  Plane across(size_t(h) * size_t(next.w));
  for (int y = 0; y < h; ++y)
    convolveRowAtEvenColumns(p.data() + size_t(y) * size_t(w), across.data() + size_t(y) * size_t(next.w), w);
  Reduced r{Plane(size_t(next.w) * size_t(next.h)), next.w, next.h};
  for (int y = 0; y < next.h; ++y) {
    const int centre = std::min(2 * y, h - 1);
    const float* rows[5];
    for (int k = 0; k < 5; ++k) rows[k] = across.data() + size_t(clampIndex(centre + k - 2, h)) * size_t(next.w);
    combineRows(rows, r.plane.data() + size_t(y) * size_t(next.w), next.w);
  }
  return r;
}

Plane expand(const Plane& p, int w, int h, int tw, int th) {
  // Rows 2k and 2k + 1 of the repeated plane are the same, so each source row is
  // repeated and smoothed across once; the column pass then reads the smoothed
  // row that stands for each row of the target.
  const int distinct = std::min(h, (th + 1) / 2);
  Plane across(size_t(distinct) * size_t(tw));
  Plane repeated(static_cast<size_t>(tw));
  for (int k = 0; k < distinct; ++k) {
    repeat(p.data() + size_t(k) * size_t(w), w, 1, repeated.data(), tw, 1);
    convolveRow(repeated.data(), across.data() + size_t(k) * size_t(tw), tw);
  }
  Plane out(size_t(tw) * size_t(th));
  for (int y = 0; y < th; ++y) {
    const float* rows[5];
    for (int k = 0; k < 5; ++k) {
      const int source = std::min(clampIndex(y + k - 2, th) / 2, h - 1);
      rows[k] = across.data() + size_t(source) * size_t(tw);
    }
    combineRows(rows, out.data() + size_t(y) * size_t(tw), tw);
  }
  return out;
}

std::vector<Plane> pyramid(Plane p, int w, int h) {
  const int count = levels(w, h);
  std::vector<Plane> levels;
  levels.reserve(size_t(count));
  levels.push_back(std::move(p));
  for (int l = 1; l < count; ++l) {
    Reduced r = reference::reduce(levels.back(), w, h);
    w = r.w;
    h = r.h;
    levels.push_back(std::move(r.plane));
  }
  return levels;
}

Plane luma(const Image& image) {
  Plane y = image.channel(0);
  {
    const Plane g = image.channel(1);
    for (size_t i = 0; i < y.size(); ++i) y[i] = 0.2126f * y[i] + 0.7152f * g[i];
  }
  const Plane b = image.channel(2);
  for (size_t i = 0; i < y.size(); ++i) y[i] = y[i] + 0.0722f * b[i];
  return y;
}

Plane mertensWeight(const Image& image) {
  const int w = image.w, h = image.h;
  const Plane r = image.channel(0), g = image.channel(1), b = image.channel(2);

  Plane grey(image.n());
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = ((r[i] + g[i]) + b[i]) / 3.0f;

  Plane weight(image.n());
  for (int y = 0; y < h; ++y) {
    const float* up = grey.data() + size_t(std::max(y - 1, 0)) * size_t(w);
    const float* row = grey.data() + size_t(y) * size_t(w);
    const float* down = grey.data() + size_t(std::min(y + 1, h - 1)) * size_t(w);
    for (int x = 0; x < w; ++x) {
      const size_t i = size_t(y) * size_t(w) + size_t(x);
      const float left = row[std::max(x - 1, 0)], right = row[std::min(x + 1, w - 1)];
      const float contrast = std::fabs((((left + right) + up[x]) + down[x]) + row[x] * -4.0f);

      const float mu = ((r[i] + g[i]) + b[i]) / 3.0f;
      const float dr = r[i] - mu, dg = g[i] - mu, db = b[i] - mu;
      const float saturation = std::sqrt(((dr * dr + dg * dg) + db * db) / 3.0f);

      const float er = r[i] - 0.5f, eg = g[i] - 0.5f, eb = b[i] - 0.5f;
      const float exposure = std::exp(((er * er + eg * eg) + eb * eb) / -0.08f);

      weight[i] = exposure * (contrast * saturation) + 1e-12f;
    }
  }
  return weight;
}

void normaliseWeights(std::vector<Plane>& weights) {
  if (weights.empty()) return;
  const size_t count = weights[0].size();
  for (size_t p = 0; p < count; ++p) {
    float s = 0.0f;
    for (const Plane& w : weights) s += w[p];
    const float f = 1.0f / std::max(s, 1e-12f);
    for (Plane& w : weights) w[p] = w[p] * f;
  }
}

void accumulate(float* acc, const float* weight, const float* detail, size_t count) {
  for (size_t p = 0; p < count; ++p) acc[p] = weight[p] * detail[p] + acc[p];
}

void pyramidBlend(std::span<const Image* const> renders, std::vector<Plane>& weights, const Emit& emit) {
  const int w = renders[0]->w, h = renders[0]->h;
  const int count = levels(w, h);
  const std::vector<Size> size = levelSizes(w, h, count);

  reference::normaliseWeights(weights);
  std::vector<std::vector<Plane>> weightPyramids;
  weightPyramids.reserve(renders.size());
  for (size_t k = 0; k < renders.size(); ++k) weightPyramids.push_back(pyramid(std::move(weights[k]), w, h));
  weights.clear();
  weights.shrink_to_fit();

  const int last = count - 1;
  for (int c = 0; c < 3; ++c) {
    std::vector<Plane> acc;
    acc.reserve(size_t(count));
    for (int l = 0; l < count; ++l) acc.emplace_back(area(size[size_t(l)]), 0.0f);

    for (size_t i = 0; i < renders.size(); ++i) {
      Plane g = renders[i]->channel(c);
      for (int l = 0; l < count; ++l) {
        const Plane& weight = weightPyramids[i][size_t(l)];
        const size_t n = area(size[size_t(l)]);
        if (l == last) {
          // The coarsest level keeps what remains of the low-pass image.
          reference::accumulate(acc[size_t(l)].data(), weight.data(), g.data(), n);
          break;
        }
        Reduced down = reference::reduce(g, size[size_t(l)].w, size[size_t(l)].h);
        {
          const Size fine = size[size_t(l)];
          Plane detail = reference::expand(down.plane, down.w, down.h, fine.w, fine.h);
          subtract(detail.data(), g.data(), detail.data(), n);
          reference::accumulate(acc[size_t(l)].data(), weight.data(), detail.data(), n);
        }
        g = std::move(down.plane);
      }
    }

    Plane r = std::move(acc[size_t(last)]);
    for (int l = last - 1; l >= 0; --l) {
      const Size coarse = size[size_t(l + 1)], fine = size[size_t(l)];
      r = reference::expand(r, coarse.w, coarse.h, fine.w, fine.h);
      addInto(r.data(), acc[size_t(l)].data(), area(fine));
      acc[size_t(l)] = Plane();
    }
    acc.clear();
    emit(c, r);
  }
}

}  // namespace finish::reference
