#include "pyramid/toolkit.h"

#include <algorithm>
#include <cmath>

namespace finish {

namespace {

inline float taps(float a, float b, float c, float d, float e) {
    return (((kernel[0] * a + kernel[1] * b) + kernel[2] * c) + kernel[3] * d) + kernel[4] * e;
}

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

void convolveRowAtEvenColumns(const float* in, float* out, int w) {
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

Plane blur(const Plane& p, int w, int h) {
    Plane across(p.size());
    convolveRows(p.data(), across.data(), w, h);
    Plane out(p.size());
    convolveColumns(across.data(), out.data(), w, h);
    return out;
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

int levels(int w, int h) {
    const double m = double(std::min(w, h));
    const int k = int(std::log2(m));
    return std::max(k - 3, 1);
}

std::vector<Plane> gaussianPyramid(Plane p, int w, int h) {
    const int count = levels(w, h);
    std::vector<Plane> pyramid;
    pyramid.reserve(size_t(count));
    pyramid.push_back(std::move(p));
    for (int l = 1; l < count; ++l) {
        Reduced r = reduce(pyramid.back(), w, h);
        w = r.w;
        h = r.h;
        pyramid.push_back(std::move(r.plane));
    }
    return pyramid;
}

}  // namespace finish
