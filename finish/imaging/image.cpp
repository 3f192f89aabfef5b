#include "imaging/image.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>

#include "imaging/parallel.h"

namespace finish {

namespace {

// An RGBX pixel of 8-bit components read as one word: its type, the top of a
// component's range, and where component c sits in the word.
template <typename T>
struct PixelWord {
  using Word = std::conditional_t<sizeof(T) == 1, uint32_t, uint64_t>;
  static constexpr Word mask = Word(std::numeric_limits<T>::max());
  static constexpr float top = float(std::numeric_limits<T>::max());
  static unsigned shift(int c) {
    return unsigned(8 * sizeof(T) * size_t(std::endian::native == std::endian::little ? c : 3 - c));
  }
};

// Component c of `count` pixels as fractions, float(v) / top. Each pixel is read as
// one word and the component shifted out, so that the loop vectorises (the division
// stays a division: multiplying by 1/top would round some values differently).
template <typename T>
inline void fractions(const T* px, int c, float* out, size_t count) {
  using P = PixelWord<T>;
  const unsigned shift = P::shift(c);
  for (size_t i = 0; i < count; ++i) {
    typename P::Word pixel;
    std::memcpy(&pixel, px + 4 * i, sizeof pixel);
    out[i] = float(int32_t((pixel >> shift) & P::mask)) / P::top;
  }
}

// The same for RGB pixels of 16-bit components.
inline void fractionsRgb(const uint16_t* px, int c, float* out, size_t count) {
  const uint16_t* at = px + c;
  for (size_t i = 0; i < count; ++i) out[i] = float(int32_t(at[3 * i])) / 65535.0f;
}

// The loops for each depth, px pointing at the first pixel's first component.
FINISH_VECTOR_CLONES void fractionsOf(const uint8_t* px, int c, float* out, size_t count) {
  fractions(px, c, out, count);
}

FINISH_VECTOR_CLONES void fractionsOf(const uint16_t* px, int c, float* out, size_t count) {
  fractionsRgb(px, c, out, count);
}

}  // namespace

void Image::channelRange(int c, size_t begin, size_t end, float* out) const {
  std::visit(
      [&]<typename T>(const Samples<T>& samples) {
        fractionsOf(samples.data() + componentsOf<T> * begin, c, out, end - begin);
      },
      px);
}

Plane Image::channel(int c) const {
  Plane plane(n());
  parallelFor(n(), size_t(1) << 16,
              [&](size_t begin, size_t end) { channelRange(c, begin, end, plane.data() + begin); });
  return plane;
}

// Filled over the pool: the first write to fresh memory is where the kernel maps
// and clears each page, which on one thread was a pause of its own.
Output::Output(const Image& like) : w(like.w), h(like.h) {
  std::visit(
      [&]<typename T>(const Samples<T>&) {
        const size_t count = componentsOf<T> * like.n();
        Samples<T>& own = own_.emplace<Samples<T>>(count);
        parallelFor(count, size_t(1) << 20, [&](size_t begin, size_t end) {
          std::fill(own.begin() + ptrdiff_t(begin), own.begin() + ptrdiff_t(end), std::numeric_limits<T>::max());
        });
        px = std::span<T>(own);
      },
      like.px);
}

Output::Output(Image& base, Over) : w(base.w), h(base.h) {
  std::visit([&]<typename T>(Samples<T>& samples) { px = std::span<T>(samples); }, base.px);
}

namespace {

// Scales a channel value to 0…top, rounding halves away from zero; not-a-number
// gives top. Written without a call to round or early returns so that the loop
// vectorises: clamped to 0…top first, x − trunc(x) is exact, and the half is rounded
// up.
template <typename T>
inline T quantise(float value, float top) {
  const float x = value * top;
  const float below = x < top ? x : top;  // not-a-number gives top
  const float inside = below >= 0.0f ? below : 0.0f;
  const int t = int(inside);
  return T(t + (inside - float(t) >= 0.5f ? 1 : 0));
}

// Component c of `count` RGBX pixels replaced by the quantised values. Each pixel
// is read and written back as one word with the component put in, so that the loop
// vectorises.
template <typename T>
inline void putComponent(const float* __restrict values, T* __restrict pixels, int c, size_t count) {
  using P = PixelWord<T>;
  using Word = typename P::Word;
  const unsigned shift = P::shift(c);
  const Word keep = ~(P::mask << shift);
  for (size_t i = 0; i < count; ++i) {
    Word pixel;
    std::memcpy(&pixel, pixels + 4 * i, sizeof pixel);
    pixel = (pixel & keep) | (Word(uint32_t(quantise<int32_t>(values[i], P::top))) << shift);
    std::memcpy(pixels + 4 * i, &pixel, sizeof pixel);
  }
}

// The loops for each depth, pixels pointing at the first pixel's first component.
FINISH_VECTOR_CLONES void putComponentOf(const float* __restrict values, uint8_t* __restrict pixels, int c,
                                         size_t count) {
  putComponent(values, pixels, c, count);
}

FINISH_VECTOR_CLONES void putComponentOf(const float* __restrict values, uint16_t* __restrict pixels, int c,
                                         size_t count) {
  uint16_t* at = pixels + c;
  for (size_t i = 0; i < count; ++i) at[3 * i] = uint16_t(quantise<int32_t>(values[i], 65535.0f));
}

}  // namespace

void Output::putRange(int c, const float* values, size_t begin, size_t end) {
  std::visit(
      [&]<typename T>(std::span<T> samples) {
        putComponentOf(values, samples.data() + componentsOf<T> * begin, c, end - begin);
      },
      px);
}

void Output::put(int c, const Plane& plane) {
  const size_t count = size_t(w) * size_t(h);
  parallelFor(count, size_t(1) << 16, [&](size_t begin, size_t end) { putRange(c, plane.data() + begin, begin, end); });
}

}  // namespace finish
