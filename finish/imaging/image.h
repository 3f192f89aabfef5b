// The pixel buffers the finishing work runs on.
//
// A render is decoded once (files.h) into a packed RGBX or RGB buffer, 8 bits per
// component for sources of 8 bits or fewer, 16 for deeper ones; the arithmetic
// happens on float planes, one colour channel at a time, and the result goes back
// into a buffer of BASE's depth, which is written to OUT.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "imaging/memory.h"

namespace finish {

// Leaves elements of a new vector uninitialised unless a value is given: every
// plane made by the pyramid operations is written in full straight away, so
// zero-filling it first would only cost time. Large vectors take their memory from
// allocateLarge (memory.h).
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  using std::allocator<T>::allocator;
  T* allocate(size_t n) {
    if (n >= largeBuffer / sizeof(T)) {
      if (n > std::allocator_traits<std::allocator<T>>::max_size(*this)) throw std::bad_array_new_length();
      return static_cast<T*>(allocateLarge(n * sizeof(T)));
    }
    return std::allocator<T>::allocate(n);
  }
  void deallocate(T* p, size_t n) noexcept {
    if (n >= largeBuffer / sizeof(T)) releaseLarge(p);
    else std::allocator<T>::deallocate(p, n);
  }
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// w·h single-precision values of one channel or weight map, row-major, top row
// first, rows packed. Channel values are nominally 0…1. Plane(n) holds n values
// still to be written; Plane(n, v) holds n copies of v.
using Plane = std::vector<float, UninitialisedAllocator<float>>;

// Components of a pixel buffer. Decoding writes every one of them and the result
// buffer is filled when it is made, so a new buffer is not cleared first.
template <typename T>
using Samples = std::vector<T, UninitialisedAllocator<T>>;
using Samples8 = Samples<uint8_t>;
using Samples16 = Samples<uint16_t>;

// A buffer's depth is the type of its components: uint8_t for 8 bits, uint16_t for
// 16.
template <typename T>
concept Component = std::same_as<T, uint8_t> || std::same_as<T, uint16_t>;

// Components per pixel: R, G, B, X at 8 bits, where a pixel is one 32-bit word that
// the pixel loops read and write whole; R, G, B at 16 bits, where an X would cost a
// quarter of the renders' memory.
template <Component T>
inline constexpr size_t componentsOf = std::same_as<T, uint8_t> ? 4 : 3;

// A decoded render: componentsOf<T> components a pixel (RGBX or RGB), row-major,
// top row first, rows packed; X is never read (decoding sets it to the maximum, so
// that the buffer can become the result's, see Output::over).
struct Image {
  int w = 0;
  int h = 0;
  std::string space;  // the render's ICC profile; empty means sRGB
  // The components at the render's depth: 8 bits (8-bit and narrower files) or 16
  // (deeper ones).
  std::variant<Samples8, Samples16> px;

  size_t n() const { return size_t(w) * size_t(h); }
  int bits() const { return std::holds_alternative<Samples8>(px) ? 8 : 16; }

  // The components, for code that knows the depth.
  template <Component T>
  Samples<T>& samples() {
    return std::get<Samples<T>>(px);
  }
  template <Component T>
  const Samples<T>& samples() const {
    return std::get<Samples<T>>(px);
  }

  // Component c (0 = R, 1 = G, 2 = B) as values 0…1.
  Plane channel(int c) const;

  // The same values for pixels [begin, end) only, into out[0…end − begin), and
  // for row y (w values).
  void channelRange(int c, size_t begin, size_t end, float* out) const;
  void channelRow(int c, int y, float* out) const {
    channelRange(c, size_t(y) * size_t(w), size_t(y + 1) * size_t(w), out);
  }
};

// The result buffer, shaped like BASE and of BASE's depth. Only R, G and B are ever
// written; X keeps its start value (the maximum). The components live either in a
// buffer of the result's own or, made with `over`, in BASE's decoded buffer itself.
class Output {
 public:
  int w = 0;
  int h = 0;
  // RGBX at 8 bits, RGB at 16; every component starts at the maximum.
  std::variant<std::span<uint8_t>, std::span<uint16_t>> px;

  Output() = default;
  explicit Output(const Image& like);

  // The result written over BASE's own components, which saves a buffer of the
  // render's size. Channel c of `base` is overwritten when the result's channel c
  // is written, so the caller must have read all it needs of BASE's channel c by
  // then (the finishing modes read a channel only before writing it). The
  // components start as BASE's, not at the maximum; X is the maximum already
  // (decoding sets it so).
  static Output over(Image& base) { return Output(base, Over{}); }

  // The spans point into the object's own buffer: not copied or moved.
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  int bits() const { return std::holds_alternative<std::span<uint8_t>>(px) ? 8 : 16; }

  // The components, for code that knows the depth.
  template <Component T>
  std::span<T> samples() const {
    return std::get<std::span<T>>(px);
  }

  // Writes the plane (at least w·h values) into component c: scaled to the
  // integer range, rounded half away from zero, clamped; not-a-number gives the
  // maximum.
  void put(int c, const Plane& plane);

  // The same for pixels [begin, end) only, from values[0…end − begin).
  void putRange(int c, const float* values, size_t begin, size_t end);

 private:
  struct Over {};
  Output(Image& base, Over);

  std::variant<Samples8, Samples16> own_;
};

}  // namespace finish
