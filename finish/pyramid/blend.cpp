#include "pyramid/blend.h"

#include <algorithm>

#include "pyramid/toolkit.h"

namespace finish {

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

namespace {

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

void pyramidBlend(std::span<const Image* const> renders, std::vector<Plane>& weights, const Emit& emit) {
    const int w = renders[0]->w, h = renders[0]->h;
    const int count = levels(w, h);
    const std::vector<Size> size = levelSizes(w, h, count);

    normaliseWeights(weights);
    std::vector<std::vector<Plane>> weightPyramids;
    weightPyramids.reserve(renders.size());
    for (size_t k = 0; k < renders.size(); ++k) weightPyramids.push_back(gaussianPyramid(std::move(weights[k]), w, h));
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
                    accumulate(acc[size_t(l)].data(), weight.data(), g.data(), n);
                    break;
                }
                Reduced down = reduce(g, size[size_t(l)].w, size[size_t(l)].h);
                {
                    const Size fine = size[size_t(l)];
                    Plane detail = expand(down.plane, down.w, down.h, fine.w, fine.h);
                    subtract(detail.data(), g.data(), detail.data(), n);
                    accumulate(acc[size_t(l)].data(), weight.data(), detail.data(), n);
                }
                g = std::move(down.plane);
            }
        }

        Plane r = std::move(acc[size_t(last)]);
        for (int l = last - 1; l >= 0; --l) {
            const Size coarse = size[size_t(l + 1)], fine = size[size_t(l)];
            r = expand(r, coarse.w, coarse.h, fine.w, fine.h);
            addInto(r.data(), acc[size_t(l)].data(), area(fine));
            acc[size_t(l)] = Plane();
        }
        acc.clear();
        emit(c, r);
    }
}

}  // namespace finish
