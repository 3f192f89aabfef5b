// The finishing modes: which renders are blended, with which weights, and what
// becomes of each blended channel.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "imaging/image.h"

namespace finish {

// What a run hands every recipe besides the renders.
struct Tuning {
  int strength;  // 1…3
  float sky;     // the horizon of "darken-sky", not yet clamped
};

// One finishing mode: its name on the command line, how many renders it blends
// (2: BASE and DARK; 3: BASE, DARK and BRIGHT), and its recipe, which fills every
// channel of `output` from those renders, all of one size, in that order.
struct Mode {
  std::string_view name;
  size_t renders;
  void (*recipe)(std::span<const Image* const> renders, Tuning tuning, Output& output);
};

// The mode of exactly that name, or nothing.
const Mode* findMode(std::string_view name);

// Highlight ramp start ("keep-highlights") and fusion amount ("balance") for
// strength 1, 2, 3.
float highlightStart(int strength);
float fusionAmount(int strength);

// BASE where its luminance is at most the ramp start for `strength`, DARK from
// luminance 0.98 up, a smoothstep between.
void keepHighlights(const Image& base, const Image& dark, int strength, Output& output);

// DARK in the rows above the horizon set by `sky` (clamped to 0.05…0.95), BASE
// below it, a smoothstep between.
void darkenSky(const Image& base, const Image& dark, float sky, Output& output);

// The mask of darkenSky: DARK's weight in each row, 1 above the horizon's ramp, 0
// below it, a smoothstep between.
struct SkyRamp {
  float e0, e1;  // the ramp's edges, as fractions of the height from the top
  explicit SkyRamp(float sky);
  // DARK's weight in row y of h (row 0 at the top).
  float at(size_t y, int h) const;
};

// Exposure fusion of the three renders, mixed back with BASE by the fusion amount
// for `strength`.
void balance(const Image& base, const Image& dark, const Image& bright, int strength, Output& output);

}  // namespace finish
