// Laplacian-pyramid blending of renders of equal size.
#pragma once

#include <functional>
#include <span>
#include <vector>

#include "imaging/image.h"

namespace finish {

// Rows [y0, y1) of the weight maps, one per render, before normalising: row y of map
// k goes to maps[k] + (y − y0)·w. Values must not be negative. Called from the
// pool's threads, for different rows at once, and for some rows more than once (it
// must give the same values each time); it must not call parallelFor.
using WeightRows = std::function<void(int y0, int y1, float* const* maps)>;

// Receives rows [y0, y1) of blended channel c (0 = R, 1 = G, 2 = B): row y at
// values + (y − y0)·w. Values may lie outside 0…1. Called from the pool's threads,
// once for every row of every channel, in no particular order, and always after the
// blend's last look at those rows of the renders (weights included, and every
// channel of them: channel c of a row may be handed on before channel c + 1 has
// been made), so that the result can be written over a render; it must not call
// parallelFor.
using EmitRows = std::function<void(int c, int y0, int y1, const float* values)>;

// Blends `renders` (all the size of the first) with one weight map per render.
//
// The weight maps are never held whole: they are made band by band where they are
// used. A first sweep over the rows normalises them and reduces them to the
// pyramids' second level; each channel then walks the renders' coarse levels (from
// the second down), and a last sweep makes every channel's finest level band by
// band, weights again included, and hands the finished rows to `emit`. Memory stays
// near the renders plus a third of a plane per stored weight pyramid and three
// quarter planes (the channels' second levels).
void pyramidBlend(std::span<const Image* const> renders, const WeightRows& weights, const EmitRows& emit);

// Receives each finished full-size channel plane (component 0, 1, 2 in this order).
using Emit = std::function<void(int component, const Plane& plane)>;

// The same blend with the weights given as whole planes and the channels handed on
// as whole planes (the three of them are gathered first); `weights` is emptied
// before the call returns.
void pyramidBlend(std::span<const Image* const> renders, std::vector<Plane>& weights, const Emit& emit);

// The blend's first step, for `count` pixels of the n maps: scales the weights of
// every pixel so that they sum to 1, f = 1 / max(s, 1e-12) with the sum s taken in
// map order. True if the weights of some pixel did not sum to more than 1e-12 (or
// to a number), so that they do not sum to 1 afterwards.
bool normalise(float* const* maps, size_t n, size_t count);

}  // namespace finish
