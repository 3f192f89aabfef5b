// Small renders made in memory for the finishing tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <variant>

#include "imaging/image.h"
#include "modes/modes.h"

namespace testing_support {

// A w×h render whose components come from fn(x, y, c) in 0…1, stored at `bits`;
// X (8 bits) at the maximum, as decoding leaves it.
inline finish::Image render(int w, int h, int bits, const std::function<float(int, int, int)>& fn) {
  finish::Image image;
  image.w = w;
  image.h = h;
  auto fill = [&]<typename T>(finish::Samples<T>& samples) {
    constexpr T top = std::numeric_limits<T>::max();
    constexpr size_t components = finish::componentsOf<T>;
    samples.assign(components * size_t(w) * size_t(h), top);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c) {
          const size_t at = components * (size_t(y) * size_t(w) + size_t(x)) + size_t(c);
          samples[at] = T(std::clamp(fn(x, y, c), 0.0f, 1.0f) * float(top) + 0.5f);
        }
  };
  if (bits == 8) fill(image.px.emplace<finish::Samples8>());
  else fill(image.px.emplace<finish::Samples16>());
  return image;
}

// Component c of pixel p of a render or a result, whatever its depth.
inline int component(const finish::Image& image, size_t p, size_t c) {
  return std::visit(
      [&]<typename T>(const finish::Samples<T>& samples) { return int(samples[finish::componentsOf<T> * p + c]); },
      image.px);
}
inline int component(const finish::Output& out, size_t p, size_t c) {
  return std::visit([&]<typename T>(std::span<T> samples) { return int(samples[finish::componentsOf<T> * p + c]); },
                    out.px);
}

// Whether two results hold the same components at the same depth.
inline bool sameComponents(const finish::Output& a, const finish::Output& b) {
  return a.bits() == b.bits() &&
         std::visit([&]<typename T>(std::span<T> samples) { return std::ranges::equal(samples, b.samples<T>()); },
                    a.px);
}

// A textured render: a different smooth pattern per seed and channel.
inline finish::Image textured(int w, int h, int bits, int seed) {
  return render(w, h, bits, [seed](int x, int y, int c) {
    const float fx = float(x), fy = float(y);
    return 0.5f + 0.45f * std::sin(0.37f * fx * float(c + 1) + 0.23f * fy + float(seed)) *
                      std::cos(0.11f * fy * float(seed + 1) - 0.05f * fx);
  });
}

// darkenSky's mask as a whole plane: DARK's weight in each row, top row first.
inline finish::Plane skyMask(int w, int h, float sky) {
  const finish::SkyRamp ramp(sky);
  finish::Plane mask(size_t(w) * size_t(h));
  for (int y = 0; y < h; ++y) std::fill_n(mask.begin() + ptrdiff_t(size_t(y) * size_t(w)), w, ramp.at(size_t(y), h));
  return mask;
}

}  // namespace testing_support
