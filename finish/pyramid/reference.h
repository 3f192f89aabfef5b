// The plain, single-threaded forms of the pyramid operations, the weight maps and
// the blend: every value computed one after another, exactly as written. The fast
// forms in toolkit, weights and blend must give the same values; the tests hold
// them to these, and the micro-benchmarks measure against them. Not part of the
// program: they make a library of their own (quillore_finish_reference), linked by
// the tests and the benchmarks only.
#pragma once

#include <span>
#include <vector>

#include "imaging/image.h"
#include "pyramid/blend.h"
#include "pyramid/toolkit.h"

namespace finish::reference {

// The separable passes of the smoothing; samples beyond an edge repeat the edge
// sample. `src` and `dst` are w×h planes and must not overlap.
void convolveRows(const float* src, float* dst, int w, int h);
void convolveColumns(const float* src, float* dst, int w, int h);

// The pieces of those passes: one row of w samples, and one output row from the
// five rows of its neighbourhood, top to bottom.
void convolveRow(const float* in, float* out, int w);
void combineRows(const float* const rows[5], float* out, int w);

// The samples of a w×h plane at even rows and columns, starting at (0, 0), into a
// plane of halved(w, h).
void subsample(const float* src, int w, int h, float* dst);

// Fills a tw×th plane with u[y·tw + x] = p[min(y/2, h−1)·w + min(x/2, w−1)].
void repeat(const float* src, int w, int h, float* dst, int tw, int th);

Plane blur(const Plane& p, int w, int h);
Reduced reduce(const Plane& p, int w, int h);
Plane expand(const Plane& p, int w, int h, int tw, int th);
std::vector<Plane> pyramid(Plane p, int w, int h);

Plane luma(const Image& image);
Plane mertensWeight(const Image& image);

void normaliseWeights(std::vector<Plane>& weights);
void accumulate(float* acc, const float* weight, const float* detail, size_t count);
void pyramidBlend(std::span<const Image* const> renders, std::vector<Plane>& weights, const Emit& emit);

}  // namespace finish::reference
