// The finishing modes: which renders are blended, with which weights, and what
// becomes of each blended channel.
#pragma once

#include <string>

#include "imaging/image.h"

namespace finish {

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

// The mask of darkenSky: DARK's weight for each row, top row first.
Plane skyMask(int w, int h, float sky);

// Exposure fusion of the three renders, mixed back with BASE by the fusion amount
// for `strength`.
void balance(const Image& base, const Image& dark, const Image& bright, int strength, Output& output);

}  // namespace finish
