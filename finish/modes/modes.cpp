#include "modes/modes.h"

#include <algorithm>
#include <array>
#include <vector>

#include "imaging/parallel.h"
#include "pyramid/blend.h"
#include "pyramid/weights.h"

namespace finish {

float highlightStart(int strength) {
  static constexpr std::array<float, 3> starts = {0.85f, 0.75f, 0.65f};
  return starts[size_t(std::clamp(strength, 1, 3) - 1)];
}

float fusionAmount(int strength) {
  static constexpr std::array<float, 3> amounts = {0.5f, 0.75f, 1.0f};
  return amounts[size_t(std::clamp(strength, 1, 3) - 1)];
}

namespace {

Emit writeInto(Output& output) {
  return [&output](int c, const Plane& plane) { output.put(c, plane); };
}

void blendPair(const Image& base, const Image& dark, Plane baseWeight, Plane darkWeight, Output& output) {
  const Image* renders[] = {&base, &dark};
  std::vector<Plane> weights;
  weights.push_back(std::move(baseWeight));
  weights.push_back(std::move(darkWeight));
  pyramidBlend(renders, weights, writeInto(output));
}

}  // namespace

void keepHighlights(const Image& base, const Image& dark, int strength, Output& output) {
  const float e0 = highlightStart(strength);
  Plane baseWeight = luma(base);
  Plane darkWeight(baseWeight.size());
  const size_t n = baseWeight.size();
  parallelFor(n, size_t(1) << 16, [&](size_t begin, size_t end) {
    for (size_t p = begin; p < end; ++p) {
      baseWeight[p] = 1.0f - smoothstep(e0, 0.98f, baseWeight[p]);
      darkWeight[p] = 1.0f - baseWeight[p];
    }
  });
  blendPair(base, dark, std::move(baseWeight), std::move(darkWeight), output);
}

Plane skyMask(int w, int h, float sky) {
  float s = sky;
  s = s < 0.95f ? std::max(s, 0.05f) : 0.95f;  // not-a-number gives 0.95
  const float e0 = s - 0.15f, e1 = s + 0.1f;
  Plane mask(size_t(w) * size_t(h));
  // Filled over the pool: the first write to fresh memory is where the kernel
  // maps and clears each page.
  parallelFor(size_t(h), grainFor(size_t(h), 16), [&](size_t begin, size_t end) {
    for (size_t y = begin; y < end; ++y) {
      const float t = float(y) / float(h - 1);
      const float v = 1.0f - smoothstep(e0, e1, t);
      std::fill_n(mask.begin() + ptrdiff_t(y * size_t(w)), w, v);
    }
  });
  return mask;
}

void darkenSky(const Image& base, const Image& dark, float sky, Output& output) {
  Plane darkWeight = skyMask(base.w, base.h, sky);
  Plane baseWeight(darkWeight.size());
  const size_t n = darkWeight.size();
  parallelFor(n, size_t(1) << 16, [&](size_t begin, size_t end) {
    for (size_t p = begin; p < end; ++p) baseWeight[p] = 1.0f - darkWeight[p];
  });
  blendPair(base, dark, std::move(baseWeight), std::move(darkWeight), output);
}

void balance(const Image& base, const Image& dark, const Image& bright, int strength, Output& output) {
  std::vector<Plane> weights;
  weights.push_back(mertensWeight(base));
  weights.push_back(mertensWeight(dark));
  weights.push_back(mertensWeight(bright));
  const float a = fusionAmount(strength);
  const Image* renders[] = {&base, &dark, &bright};
  pyramidBlend(renders, weights, [&](int c, const Plane& fused) {
    // BASE's channel is read again from its buffer, a chunk at a time, mixed and
    // written out without a full-size plane in between.
    const size_t n = base.n();
    parallelFor(n, size_t(1) << 16, [&](size_t begin, size_t end) {
      thread_local std::vector<float> buffer;
      float* mixed = scratchOf(buffer, end - begin);
      base.channelRange(c, begin, end, mixed);
      for (size_t p = begin; p < end; ++p) {
        float& m = mixed[p - begin];
        m = m + a * (fused[p] - m);
      }
      output.putRange(c, mixed, begin, end);
    });
  });
}

}  // namespace finish
