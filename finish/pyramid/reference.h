// The plain, single-threaded forms of the pyramid operations, the weight maps and
// the blend: every value computed one after another, exactly as written. The fast
// forms in toolkit, weights and blend must give the same values; the tests hold
// them to these.
#pragma once

#include <span>
#include <vector>

#include "imaging/image.h"
#include "pyramid/blend.h"
#include "pyramid/toolkit.h"

namespace finish::reference {

Plane blur(const Plane& p, int w, int h);
Reduced reduce(const Plane& p, int w, int h);
Plane expand(const Plane& p, int w, int h, int tw, int th);
std::vector<Plane> pyramid(Plane p, int w, int h);

Plane luma(const Image& image);
Plane mertensWeight(const Image& image);

void normaliseWeights(std::vector<Plane>& weights);
void accumulate(float* acc, const float* weight, const float* detail, size_t count);
void pyramidBlend(std::span<const Image* const> renders, std::vector<Plane>& weights, const Emit& emit);

}  // namespace finish::reference
