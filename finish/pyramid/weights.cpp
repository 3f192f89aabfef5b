#include "pyramid/weights.h"

#include <algorithm>
#include <cmath>

namespace finish {

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

}  // namespace finish
