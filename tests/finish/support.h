// Small renders made in memory for the finishing tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>

#include "imaging/image.h"

namespace testing_support {

// A w×h render whose components come from fn(x, y, c) in 0…1, stored at `bits`;
// X (8 bits) at the maximum, as decoding leaves it.
inline finish::Image render(int w, int h, int bits, const std::function<float(int, int, int)>& fn) {
  finish::Image image;
  image.w = w;
  image.h = h;
  image.bits = bits;
  const float top = bits == 8 ? 255.0f : 65535.0f;
  const size_t components = finish::pixelComponents(bits);
  if (bits == 8) image.px8.assign(components * size_t(w) * size_t(h), 255);
  else image.px16.assign(components * size_t(w) * size_t(h), 65535);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        const size_t at = components * (size_t(y) * size_t(w) + size_t(x)) + size_t(c);
        const float v = std::clamp(fn(x, y, c), 0.0f, 1.0f) * top + 0.5f;
        if (bits == 8) image.px8[at] = uint8_t(v);
        else image.px16[at] = uint16_t(v);
      }
  return image;
}

// A textured render: a different smooth pattern per seed and channel.
inline finish::Image textured(int w, int h, int bits, int seed) {
  return render(w, h, bits, [seed](int x, int y, int c) {
    const float fx = float(x), fy = float(y);
    return 0.5f + 0.45f * std::sin(0.37f * fx * float(c + 1) + 0.23f * fy + float(seed)) *
                      std::cos(0.11f * fy * float(seed + 1) - 0.05f * fx);
  });
}

}  // namespace testing_support
