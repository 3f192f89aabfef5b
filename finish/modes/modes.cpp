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

// Hands the blended rows to the result as they are.
EmitRows writeInto(Output& output) {
  return [&output](int c, int y0, int y1, const float* values) {
    output.putRange(c, values, size_t(y0) * size_t(output.w), size_t(y1) * size_t(output.w));
  };
}

void blendPair(const Image& base, const Image& dark, const WeightRows& weights, Output& output) {
  const Image* renders[] = {&base, &dark};
  pyramidBlend(renders, weights, writeInto(output));
}

}  // namespace

SkyRamp::SkyRamp(float sky) {
  float s = sky;
  s = s < 0.95f ? std::max(s, 0.05f) : 0.95f;  // not-a-number gives 0.95
  e0 = s - 0.15f;
  e1 = s + 0.1f;
}

float SkyRamp::at(size_t y, int h) const {
  const float t = float(y) / float(h - 1);
  return 1.0f - smoothstep(e0, e1, t);
}

void keepHighlights(const Image& base, const Image& dark, int strength, Output& output) {
  const float e0 = highlightStart(strength);
  blendPair(
      base, dark,
      [&](int y0, int y1, float* const* maps) {
        float *baseWeight = maps[0], *darkWeight = maps[1];
        lumaRows(base, y0, y1, baseWeight);
        const size_t n = size_t(y1 - y0) * size_t(base.w);
        for (size_t p = 0; p < n; ++p) {
          baseWeight[p] = 1.0f - smoothstep(e0, 0.98f, baseWeight[p]);
          darkWeight[p] = 1.0f - baseWeight[p];
        }
      },
      output);
}

void darkenSky(const Image& base, const Image& dark, float sky, Output& output) {
  const SkyRamp ramp(sky);
  const int w = base.w, h = base.h;
  blendPair(
      base, dark,
      [&](int y0, int y1, float* const* maps) {
        for (int y = y0; y < y1; ++y) {
          const float v = ramp.at(size_t(y), h);
          const size_t at = size_t(y - y0) * size_t(w);
          std::fill_n(maps[1] + at, w, v);
          std::fill_n(maps[0] + at, w, 1.0f - v);
        }
      },
      output);
}

void balance(const Image& base, const Image& dark, const Image& bright, int strength, Output& output) {
  const float a = fusionAmount(strength);
  const Image* renders[] = {&base, &dark, &bright};
  pyramidBlend(
      renders,
      [&](int y0, int y1, float* const* maps) {
        for (size_t k = 0; k < 3; ++k) mertensRows(*renders[k], y0, y1, maps[k]);
      },
      [&](int c, int y0, int y1, const float* fused) {
        // BASE's channel is read again from its buffer (the result may lie over it:
        // channel c of these rows is read before it is written), mixed and written.
        const size_t begin = size_t(y0) * size_t(base.w), end = size_t(y1) * size_t(base.w);
        thread_local std::vector<float> buffer;
        float* mixed = scratchOf(buffer, end - begin);
        base.channelRange(c, begin, end, mixed);
        for (size_t p = 0; p < end - begin; ++p) mixed[p] = mixed[p] + a * (fused[p] - mixed[p]);
        output.putRange(c, mixed, begin, end);
      });
}

namespace {

using Renders = std::span<const Image* const>;

constexpr Mode modes[] = {
    {"keep-highlights", 2,
     [](Renders r, Tuning tuning, Output& output) { keepHighlights(*r[0], *r[1], tuning.strength, output); }},
    {"darken-sky", 2, [](Renders r, Tuning tuning, Output& output) { darkenSky(*r[0], *r[1], tuning.sky, output); }},
    {"balance", 3,
     [](Renders r, Tuning tuning, Output& output) { balance(*r[0], *r[1], *r[2], tuning.strength, output); }},
};

}  // namespace

const Mode* findMode(std::string_view name) {
  for (const Mode& mode : modes)
    if (mode.name == name) return &mode;
  return nullptr;
}

}  // namespace finish
