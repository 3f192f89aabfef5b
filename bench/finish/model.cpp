// The pyramid depth and the modelled memory traffic of quillore-finish's blend for
// renders of a given size, worked out with the program's own level rules
// (finish::levels, finish::levelSizes), so that the figures bench/finish/run.sh
// prints follow the program.
//
//   finish-model W H BITS
//
// Prints "levels L", then one line per mode: the mode and the bytes per level-0
// pixel that the blend streams through memory (read plus written), counted pass by
// pass over the three sweeps of pyramidBlend (finish/pyramid/blend.cpp):
//   1. weights: the renders the weights are made from are read once (balance: all
//      three; keep-highlights: BASE; darken-sky: none), every map's second level
//      written; the stored pyramids (all maps but the last, whose weights are one
//      minus the others') reduced from there, each level read and the next written;
//   2. per channel, each render's walk (one walk over the difference of the two
//      renders in the two-render modes, reading both): the render read, its second
//      level written; at each coarser level the level and the weights (the last
//      render: the other maps') read, the next level written, the accumulator
//      written by the first walk and read and written by the others; then the
//      collapse down to the second level (the coarser level read, the finer one
//      read and written);
//   3. the finest level of all channels in one sweep: the renders read once (a
//      band's rows stay in cache for the three channels and the weights), the three
//      channels' second levels read, the result's pixel words read and written.
// Band buffers are taken to stay in cache; the kernel's clearing of fresh pages is
// not counted.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "pyramid/toolkit.h"

namespace {

enum class Mode { balance, keepHighlights, darkenSky };

double traffic(int w, int h, int bits, Mode mode) {
  using finish::Size;
  const int count = finish::levels(w, h), last = count - 1;
  const std::vector<Size> size = finish::levelSizes(w, h, count);
  std::vector<double> a;  // each level's area over level 0's
  for (const Size s : size) a.push_back(double(s.w) * double(s.h) / (double(w) * double(h)));
  const double bi = bits == 8 ? 4 : 8;  // bytes per decoded pixel (RGBX)
  const int n = mode == Mode::balance ? 3 : 2;
  const int stored = n - 1;

  double bytes = mode == Mode::balance ? n * bi : mode == Mode::keepHighlights ? bi : 0;
  if (count > 1) bytes += n * 4 * a[1];
  for (int l = 2; l < count; ++l) bytes += stored * 4 * (a[size_t(l - 1)] + a[size_t(l)]);

  const int walks = mode == Mode::balance ? n : 1;
  for (int c = 0; c < 3 && count > 1; ++c) {
    for (int i = 0; i < walks; ++i) {
      bytes += (mode == Mode::balance ? bi : 2 * bi) + 4 * a[1];
      const double weights = i < stored || walks == 1 ? 1 : stored;
      for (int l = 1; l < count; ++l) {
        const double al = a[size_t(l)];
        bytes += 4 * al + 4 * weights * al + (i == 0 ? 4 : 8) * al;
        if (l < last) bytes += 4 * a[size_t(l + 1)];
      }
    }
    for (int l = last - 1; l >= 1; --l) bytes += 4 * a[size_t(l + 1)] + 8 * a[size_t(l)];
  }

  bytes += (mode == Mode::balance ? n * bi : 2 * bi) + (count > 1 ? 3 * 4 * a[1] : 0) + 2 * bi;
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: finish-model W H BITS\n");
    return 2;
  }
  const int w = std::atoi(argv[1]), h = std::atoi(argv[2]), bits = std::atoi(argv[3]);
  if (w < 1 || h < 1 || (bits != 8 && bits != 16)) {
    std::fprintf(stderr, "finish-model: W and H must be positive, BITS 8 or 16\n");
    return 2;
  }
  std::printf("levels %d\n", finish::levels(w, h));
  std::printf("balance %.1f\n", traffic(w, h, bits, Mode::balance));
  std::printf("keep-highlights %.1f\n", traffic(w, h, bits, Mode::keepHighlights));
  std::printf("darken-sky %.1f\n", traffic(w, h, bits, Mode::darkenSky));
}
