// The exponential of the exposure-fusion weights: within one unit in the last
// place of the exactly rounded e^x (almost always that value itself), computed in a
// way that vectorises. Not-a-number stays not-a-number; values below −104 give 0
// and above 88.8 infinity.
#pragma once

#include <bit>
#include <cstdint>

namespace finish {

// e^x = 2^(k/4) · e^r with k the nearest integer to 4·x / ln 2 and r = x − k·ln 2 /
// 4 (|r| ≤ ln 2 / 8), in double precision: e^r by its Taylor series to r^7
// (relative error below 1e-13 with the reduction); 2^(k/4) is one of four
// constants for k mod 4 with k div 4 added to its exponent bits. Selecting rather
// than looking up keeps the loop vectorised. The one rounding to float at the end
// is then the exact rounding but in the rarest cases.
inline float expNear(float x) {
  constexpr double scaledInvLn2 = 0x1.71547652b82fep2;                           // 4 / ln 2
  constexpr double ln2Hi = 0x1.62e42fefa39efp-3, ln2Lo = 0x1.abc9e3b39803fp-58;  // ln 2 / 4 in two parts
  constexpr double shift = 0x1.8p52;  // adding it rounds to an integer held in the low bits
  // Bits of 2^(j/4), less j << 50, so that adding k << 50 for k = 4·e + j puts e
  // into the exponent field (the other bits wrap away).
  constexpr uint64_t quarter0 = 0x3ff0000000000000u, quarter1 = 0x3ff306fe0a31b715u - (uint64_t(1) << 50),
                     quarter2 = 0x3ff6a09e667f3bcdu - (uint64_t(2) << 50),
                     quarter3 = 0x3ffae89f995ad3adu - (uint64_t(3) << 50);
  const float clamped = x < -104.0f ? -104.0f : (x > 88.8f ? 88.8f : x);
  const double d = double(clamped);
  const double kShifted = d * scaledInvLn2 + shift;
  const double k = kShifted - shift;
  const double r = (d - k * ln2Hi) - k * ln2Lo;
  double p = 1.0 / 5040.0;
  p = p * r + 1.0 / 720.0;
  p = p * r + 1.0 / 120.0;
  p = p * r + 1.0 / 24.0;
  p = p * r + 1.0 / 6.0;
  p = p * r + 0.5;
  p = p * r + 1.0;
  p = p * r + 1.0;
  // k lies in −601…513: 2^(k/4) is a normal double.
  const uint64_t ki = std::bit_cast<uint64_t>(kShifted) - std::bit_cast<uint64_t>(shift);
  const uint64_t j = ki & 3;
  const uint64_t quarter = j == 0 ? quarter0 : j == 1 ? quarter1 : j == 2 ? quarter2 : quarter3;
  const uint64_t bits = quarter + (ki << 50);
  const float e = float(p * std::bit_cast<double>(bits));
  return x == x ? e : x;
}

}  // namespace finish
