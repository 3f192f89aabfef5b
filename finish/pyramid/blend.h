// Laplacian-pyramid blending of renders of equal size, one colour channel at a time.
#pragma once

#include <functional>
#include <span>
#include <vector>

#include "imaging/image.h"

namespace finish {

// Receives each finished full-size channel plane (component 0, 1, 2 in this order).
// Values may lie outside 0…1.
using Emit = std::function<void(int component, const Plane& plane)>;

// Blends `renders` (all the size of the first) with one weight map per render.
// The weights are normalised in place and `weights` is emptied as soon as their
// pyramids exist. Memory stays near one pyramid per render plus one accumulator
// pyramid: a render's Laplacian levels are formed, added in and dropped one at a
// time.
void pyramidBlend(std::span<const Image* const> renders, std::vector<Plane>& weights, const Emit& emit);

// Step of the blend, exposed for its own tests: scales the weights of every pixel
// so that they sum to 1 (where their sum exceeds 1e-12).
void normaliseWeights(std::vector<Plane>& weights);

// acc[p] = weight[p]·detail[p] + acc[p] over `count` samples.
void accumulate(float* acc, const float* weight, const float* detail, size_t count);

}  // namespace finish
