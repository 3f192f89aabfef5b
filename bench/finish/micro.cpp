// Micro-benchmarks of quillore-finish's pyramid operations and blend, per
// megapixel, next to a memory-copy baseline measured in the same run.
//
//   <build>/finish-micro [--benchmark_filter=…] [--benchmark_repetitions=N]
//
// Columns: s/MP is seconds per megapixel of the operation's output (of level 0 for
// the blend); x_copy is the time over one copy of a float plane of the same number
// of pixels (read + write, memcpy on one thread). The "plain" rows are the
// single-threaded reference forms that the tests compare the fast forms with.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/parallel.h"
#include "pyramid/blend.h"
#include "pyramid/reference.h"
#include "pyramid/toolkit.h"
#include "pyramid/weights.h"

using namespace finish;

namespace {

constexpr int W = 3000, H = 2000;  // 6 MP

Plane texture(int w, int h, int seed) {
  Plane p(size_t(w) * size_t(h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      p[size_t(y) * size_t(w) + size_t(x)] =
          0.5f + 0.45f * std::sin(0.031f * float(x) + 0.017f * float(y * seed)) * std::cos(0.007f * float(x + y));
  return p;
}

Image render(int w, int h, int seed) {
  Image image;
  image.w = w;
  image.h = h;
  Samples8& samples = image.px.emplace<Samples8>(4 * size_t(w) * size_t(h));
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = uint8_t((i * 2654435761u + size_t(seed) * 97) >> 13);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        const float v = 0.5f + 0.45f * std::sin(0.013f * float(x * (c + 1)) + 0.021f * float(y) + float(seed));
        uint8_t& px = samples[4 * (size_t(y) * size_t(w) + size_t(x)) + size_t(c)];
        px = uint8_t(std::clamp(v * 255.0f + float(px % 8) - 4.0f, 0.0f, 255.0f));
      }
  return image;
}

// Seconds for one copy of a w·h float plane, the best of a few.
double copySeconds(size_t pixels) {
  static std::vector<float> a(size_t(W) * size_t(H) * 2, 1.0f), b(a.size());
  double best = 1e9;
  for (int r = 0; r < 8; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    std::memcpy(b.data(), a.data(), pixels * sizeof(float));
    benchmark::DoNotOptimize(b.data());
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

void perMegapixel(benchmark::State& state, size_t pixels) {
  using benchmark::Counter;
  state.counters["s/MP"] = Counter(double(pixels) / 1e6, Counter::kIsIterationInvariantRate | Counter::kInvert);
  state.counters["x_copy"] = Counter(copySeconds(pixels), Counter::kIsIterationInvariantRate | Counter::kInvert);
}

void BM_Copy(benchmark::State& state) {
  const Plane p = texture(W, H, 1);
  Plane out(p.size());
  for (auto _ : state) {
    std::memcpy(out.data(), p.data(), p.size() * sizeof(float));
    benchmark::DoNotOptimize(out.data());
  }
  perMegapixel(state, p.size());
}

void BM_Blur(benchmark::State& state) {
  const Plane p = texture(W, H, 1);
  for (auto _ : state) benchmark::DoNotOptimize(blur(p, W, H));
  perMegapixel(state, p.size());
}

void BM_BlurPlain(benchmark::State& state) {
  const Plane p = texture(W, H, 1);
  for (auto _ : state) benchmark::DoNotOptimize(reference::blur(p, W, H));
  perMegapixel(state, p.size());
}

void BM_Reduce(benchmark::State& state) {
  const Plane p = texture(W, H, 1);
  for (auto _ : state) benchmark::DoNotOptimize(reduce(p, W, H));
  perMegapixel(state, p.size());
}

void BM_ReducePlain(benchmark::State& state) {
  const Plane p = texture(W, H, 1);
  for (auto _ : state) benchmark::DoNotOptimize(reference::reduce(p, W, H));
  perMegapixel(state, p.size());
}

void BM_Expand(benchmark::State& state) {
  const Plane p = texture(W / 2, H / 2, 1);
  for (auto _ : state) benchmark::DoNotOptimize(expand(p, W / 2, H / 2, W, H));
  perMegapixel(state, size_t(W) * size_t(H));
}

void BM_ExpandPlain(benchmark::State& state) {
  const Plane p = texture(W / 2, H / 2, 1);
  for (auto _ : state) benchmark::DoNotOptimize(reference::expand(p, W / 2, H / 2, W, H));
  perMegapixel(state, size_t(W) * size_t(H));
}

// The blend of three renders with their exposure-fusion weights, weights made
// outside the timing.
template <bool plain>
void blendOf(benchmark::State& state) {
  const Image a = render(W, H, 1), b = render(W, H, 2), c = render(W, H, 3);
  const Image* renders[] = {&a, &b, &c};
  const std::vector<Plane> weights = {mertensWeight(a), mertensWeight(b), mertensWeight(c)};
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<Plane> w = weights;
    state.ResumeTiming();
    Emit emit = [](int, const Plane& p) { benchmark::DoNotOptimize(p.data()); };
    if constexpr (plain) reference::pyramidBlend(renders, w, emit);
    else pyramidBlend(renders, w, emit);
  }
  perMegapixel(state, size_t(W) * size_t(H));
}

void BM_Blend(benchmark::State& state) { blendOf<false>(state); }
void BM_BlendPlain(benchmark::State& state) { blendOf<true>(state); }

void BM_MertensWeight(benchmark::State& state) {
  const Image a = render(W, H, 1);
  for (auto _ : state) benchmark::DoNotOptimize(mertensWeight(a));
  perMegapixel(state, size_t(W) * size_t(H));
}

}  // namespace

BENCHMARK(BM_Copy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Blur)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BlurPlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Reduce)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReducePlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Expand)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ExpandPlain)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MertensWeight)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Blend)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BlendPlain)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
