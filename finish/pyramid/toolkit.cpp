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

void convolveRows(const float* src, float* dst, int w, int h) {
    for (int y = 0; y < h; ++y) {
        const float* in = src + size_t(y) * size_t(w);
        float* out = dst + size_t(y) * size_t(w);
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
}

void convolveColumns(const float* src, float* dst, int w, int h) {
    const size_t stride = size_t(w);
    for (int y = 0; y < h; ++y) {
        const float* r0 = src + size_t(clampIndex(y - 2, h)) * stride;
        const float* r1 = src + size_t(clampIndex(y - 1, h)) * stride;
        const float* r2 = src + size_t(y) * stride;
        const float* r3 = src + size_t(clampIndex(y + 1, h)) * stride;
        const float* r4 = src + size_t(clampIndex(y + 2, h)) * stride;
        float* out = dst + size_t(y) * stride;
        for (int x = 0; x < w; ++x) out[x] = taps(r0[x], r1[x], r2[x], r3[x], r4[x]);
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
    const Plane s = blur(p, w, h);
    const Size next = halved({w, h});
    Reduced r{Plane(size_t(next.w) * size_t(next.h)), next.w, next.h};
    subsample(s.data(), w, h, r.plane.data());
    return r;
}

Plane expand(const Plane& p, int w, int h, int tw, int th) {
    Plane u(size_t(tw) * size_t(th));
    repeat(p.data(), w, h, u.data(), tw, th);
    return blur(u, tw, th);
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
