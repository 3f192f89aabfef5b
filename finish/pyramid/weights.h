// Per-pixel measures from which the finishing modes build their blend weights.
#pragma once

#include <cstddef>

#include "imaging/image.h"

namespace finish {

// Rec. 709 luma of the values as stored: (0.2126·R + 0.7152·G) + 0.0722·B.
Plane luma(const Image& image);

// The same for rows [y0, y1) only, into out (row y at out + (y − y0)·w), on the
// calling thread.
void lumaRows(const Image& image, int y0, int y1, float* out);

// 0 at or below e0, 1 at or above e1, the cubic (t·t)·(3 − 2t) between;
// not-a-number gives 1.
inline float smoothstep(float e0, float e1, float x) {
  float t = (x - e0) / (e1 - e0);
  if (t < 1.0f) t = t < 0.0f ? 0.0f : t;
  else t = 1.0f;
  return (t * t) * (3.0f - (t + t));
}

// Exposure-fusion weight of each pixel: well-exposedness × (local contrast ×
// saturation) + 1e-12, so every weight is positive.
Plane mertensWeight(const Image& image);

// The same for rows [y0, y1) only, into out (row y at out + (y − y0)·w), on the
// calling thread.
void mertensRows(const Image& image, int y0, int y1, float* out);

}  // namespace finish
